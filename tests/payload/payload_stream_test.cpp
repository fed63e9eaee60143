// The payload stream over encrypted gzip images made at run time: chunking, the byte
// operations, the line reader's rules and the stream's states.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "decode_support.h"
#include "payload/des.h"
#include "payload/payload_stream.h"
#include "payload/ziplib.h"

using namespace decode_test;

namespace {

const char kKeyText[] = "rtog5u3";

// Pads a gzip member with zeros to a multiple of 8 and encrypts it under the key text.
Bytes Seal(Bytes member, const char* key_text = kKeyText) {
    unsigned char key[9] = {};
    std::strncpy(reinterpret_cast<char*>(key), key_text, 8);
    member.resize((member.size() + 7) / 8 * 8, 0);
    des_ecb_crypt(key, member.data(), static_cast<int>(member.size()), VMOD_DES_ENCRYPT);
    return member;
}

Bytes ImageOf(const std::string& text, int level = 9, size_t flush_every = 0) {
    Bytes data(text.begin(), text.end());
    return Seal(GzipWrap(ZlibDeflate(data, level, Z_DEFAULT_STRATEGY, -15, flush_every), data));
}

// The image the test source hands out, the most it copies per call, and how often it was
// asked.
Bytes g_image;
uint32_t g_position;
uint32_t g_piece = 65536;
int g_source_calls;

int32_t TestSource(unsigned char* buffer) {
    g_source_calls++;
    if (g_piece >= 65536) {
        return payload_copy_chunk(g_image.data(), static_cast<uint32_t>(g_image.size()),
                                  &g_position, buffer);
    }
    if (g_position >= g_image.size()) {
        return -1;
    }
    uint32_t n = std::min<uint32_t>(g_piece, static_cast<uint32_t>(g_image.size()) - g_position);
    std::memcpy(buffer, g_image.data() + g_position, n);
    g_position += n;
    return static_cast<int32_t>(n);
}

class PayloadStream : public ::testing::Test {
  protected:
    void TearDown() override {
        payload_close();
        payload_set_allocator(nullptr, nullptr, nullptr);
        g_piece = 65536;
    }

    int Open(Bytes image, uint32_t piece = 65536) {
        g_image = std::move(image);
        g_position = 0;
        g_piece = piece;
        g_source_calls = 0;
        return payload_open(TestSource, 65536, kKeyText);
    }

    // Reads the whole text byte by byte, stepping over the -1 of blocks that deliver
    // nothing yet; stops after `quiet` -1 results in a row.
    static std::string ReadAllBytes(int quiet = 1000) {
        std::string s;
        for (int misses = 0; misses < quiet;) {
            int c = payload_getc();
            if (c < 0) {
                misses++;
            } else {
                misses = 0;
                s += static_cast<char>(c);
            }
        }
        return s;
    }
};

// ----------------------------------------------------------------------------------------
// The chunk rule of the package's sources.

struct ChunkCase {
    const char* description;
    uint32_t size;
    std::vector<int32_t> returns;
};

TEST(PayloadCopyChunk, HandsOutAnImageIn64KiBChunks) {
    const ChunkCase cases[] = {
        {"empty image", 0, {-1, -1}},
        {"one byte", 1, {1, -1}},
        {"one byte short of a chunk", 65535, {65535, -1}},
        {"exactly one chunk", 65536, {65536, -1, -1}},
        {"one chunk and one byte", 65537, {65536, 1, -1}},
        {"two chunks", 131072, {65536, 65536, -1}},
        {"two chunks and a bit", 140000, {65536, 65536, 8928, -1}},
    };
    for (const ChunkCase& c : cases) {
        Bytes image = RandomBytes(c.size, c.size + 1);
        Bytes copied;
        uint32_t position = 0;
        std::vector<unsigned char> buffer(65536 + 16);
        for (int32_t want : c.returns) {
            int32_t got = payload_copy_chunk(image.data(), c.size, &position, buffer.data());
            EXPECT_EQ(got, want) << c.description;
            if (got > 0) {
                copied.insert(copied.end(), buffer.begin(), buffer.begin() + got);
            }
        }
        EXPECT_EQ(copied, image) << c.description;
        EXPECT_EQ(position, c.size) << c.description;
    }
}

TEST(PayloadCopyChunk, PositionBeyondTheSizeIsTheEnd) {
    unsigned char image[4] = {1, 2, 3, 4};
    unsigned char buffer[65536 + 16];
    uint32_t position = 9;
    EXPECT_EQ(payload_copy_chunk(image, 4, &position, buffer), -1);
    EXPECT_EQ(position, 9u);
}

// ----------------------------------------------------------------------------------------
// Lines.

struct LineCase {
    const char* description;
    std::string text;
    int32_t size;
    // Expected results in order: the stored text and the count; a count of -1 ends.
    std::vector<std::pair<std::string, int>> calls;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) {
    return os << c.description;
}

std::vector<LineCase> LineCases() {
    const std::string l255(255, 'a');
    const std::string l300 = std::string(255, 'b') + std::string(45, 'c');
    return {
        {"two CR LF lines", "S0\r\nS1\r\n", 256, {{"S0", 3}, {"S1", 3}, {"", -1}, {"", -1}}},
        {"LF line then a last line without end", "A\nB", 256, {{"A", 1}, {"B", 1}, {"", -1}}},
        {"an empty line is swallowed and counted",
         "A\r\n\r\nB",
         256,
         {{"A", 4}, {"B", 1}, {"", -1}}},
        {"lone CR ends a line", "A\rB\r", 256, {{"A", 1}, {"B", 1}, {"", -1}}},
        {"LF CR counts the CR", "A\n\rB", 256, {{"A", 2}, {"B", 1}, {"", -1}}},
        {"255 characters and CR LF", l255 + "\r\n", 256, {{l255, 257}, {"", -1}}},
        {"300 characters come in two pieces",
         l300 + "\r\n",
         256,
         {{std::string(255, 'b'), 255}, {std::string(45, 'c'), 46}, {"", -1}}},
        {"text that begins with a line end", "\r\nX\r\n", 256, {{"", 1}, {"X", 2}, {"", -1}}},
        {"only line ends", "\n\n\n", 256, {{"", 2}, {"", -1}}},
        {"empty text", "", 256, {{"", -1}, {"", -1}}},
        {"size 2 stores one byte per call", "AB\r\n", 2, {{"A", 1}, {"B", 3}, {"", -1}}},
        {"size 1 stores nothing", "AB\n", 1, {{"", 0}, {"", 0}}},
        {"size 0 stores nothing", "\nAB", 0, {{"", 1}, {"", 0}}},
    };
}

class PayloadLines : public PayloadStream, public ::testing::WithParamInterface<LineCase> {};

TEST_P(PayloadLines, CountsAndStoresAsTheRulesSay) {
    const LineCase& c = GetParam();
    ASSERT_EQ(Open(ImageOf(c.text)), 0);
    for (size_t i = 0; i < c.calls.size(); i++) {
        std::vector<char> buffer(c.size > 0 ? c.size : 1, '#');
        int got = payload_gets(buffer.data(), c.size);
        EXPECT_EQ(got, c.calls[i].second) << "call " << i;
        if (c.calls[i].first.empty()) {
            // Nothing stored: the buffer is as it was.
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(buffer.size(), '#'))
                << "call " << i;
        } else {
            EXPECT_EQ(std::string(buffer.data()), c.calls[i].first) << "call " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, PayloadLines, ::testing::ValuesIn(LineCases()),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                             return "case_" + std::to_string(info.index);
                         });

// Reassembles CR LF text from lines and counts: a count one above the text length means the
// line ended in CR LF.
std::string ReadAllLines() {
    std::string text;
    char buffer[256];
    for (;;) {
        int n = payload_gets(buffer, sizeof buffer);
        if (n < 0) {
            return text;
        }
        size_t len = std::strlen(buffer);
        text.append(buffer, len);
        if (static_cast<size_t>(n) == len + 1) {
            text += "\r\n";
        } else {
            EXPECT_EQ(static_cast<size_t>(n), len);
        }
        buffer[0] = '\0';
    }
}

struct RoundTripCase {
    const char* description;
    size_t size;
    int level;
    uint32_t piece;
};

std::ostream& operator<<(std::ostream& os, const RoundTripCase& c) {
    return os << c.description;
}

class PayloadRoundTrip : public PayloadStream,
                         public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(PayloadRoundTrip, LinesGiveBackTheText) {
    const RoundTripCase& c = GetParam();
    Bytes data = SrecText(c.size, static_cast<uint32_t>(c.size));
    std::string text(data.begin(), data.end());
    text.resize(text.rfind("\r\n") + 2); // whole lines only
    ASSERT_EQ(Open(ImageOf(text, c.level), c.piece), 0);
    EXPECT_EQ(ReadAllLines(), text);
    ASSERT_NE(ziplib_ops(), nullptr);
    EXPECT_EQ(ziplib_ops()->bytes_out, static_cast<int32_t>(text.size()));
}

INSTANTIATE_TEST_SUITE_P(Images, PayloadRoundTrip,
                         ::testing::Values(RoundTripCase{"small, one chunk", 5000, 9, 65536},
                                           RoundTripCase{"several chunks", 400000, 9, 65536},
                                           RoundTripCase{"stored blocks", 200000, 0, 65536},
                                           RoundTripCase{"chunks of 1000 bytes", 100000, 6, 1000},
                                           RoundTripCase{"chunks of 16 bytes", 30000, 6, 16},
                                           RoundTripCase{"chunks of one cipher block", 20000, 9,
                                                         8}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             return "case_" + std::to_string(info.index);
                         });

TEST_F(PayloadStream, BytesComeOutAsTheText) {
    Bytes data = Mixed(150000, 71);
    ASSERT_EQ(Open(Seal(GzipWrap(ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY, -15), data))), 0);
    std::string want(data.begin(), data.end());
    std::string got;
    for (int c; (c = payload_peek()) != -1;) {
        EXPECT_EQ(payload_getc(), c);
        got += static_cast<char>(c);
    }
    // 150000 bytes in one gzip member of several blocks: a block that delivers nothing yet
    // makes a read return -1 early, so the rest is read past those.
    got += ReadAllBytes();
    EXPECT_EQ(got, want);
}

// A block that leaves its text in the inflater's window delivers nothing: the read that
// decoded it returns -1, the next read goes on with the next block.
TEST_F(PayloadStream, BlockWithoutDeliveryReadsAsMinusOneOnce) {
    std::string text = "line 1\r\nline 2\r\nline 3\r\n";
    Bytes data(text.begin(), text.end());
    // Sync flushes end a block after every 8 bytes; each flush adds an empty stored block.
    Bytes raw = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY, -15, 8);
    size_t non_final = ZlibInflateBlocks(raw).output_after_block.size() - 1;
    ASSERT_GE(non_final, 4u);
    ASSERT_EQ(Open(Seal(GzipWrap(raw, data))), 0);
    for (size_t i = 0; i < non_final; i++) {
        EXPECT_EQ(payload_getc(), -1) << "block " << i;
    }
    std::string got;
    for (size_t i = 0; i < text.size(); i++) {
        got += static_cast<char>(payload_getc());
    }
    EXPECT_EQ(got, text);
    EXPECT_EQ(payload_getc(), -1);
}

TEST_F(PayloadStream, AfterTheEndReadsStayMinusOneWithoutDecoding) {
    ASSERT_EQ(Open(ImageOf("X\r\n")), 0);
    char buffer[16];
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), 2);
    int32_t in = ziplib_ops()->bytes_in;
    int calls = g_source_calls;
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(payload_gets(buffer, sizeof buffer), -1);
        EXPECT_EQ(payload_peek(), -1);
        EXPECT_EQ(payload_getc(), -1);
    }
    EXPECT_EQ(ziplib_ops()->bytes_in, in);
    EXPECT_EQ(g_source_calls, calls);
}

// The whole bytes the inflater read ahead are handed back: the input stops at the trailer.
TEST_F(PayloadStream, InputStopsAtTheTrailer) {
    std::string text(5000, 'q');
    Bytes data(text.begin(), text.end());
    Bytes raw = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15);
    ASSERT_EQ(Open(Seal(GzipWrap(raw, data))), 0);
    EXPECT_EQ(ReadAllBytes(3), text);
    EXPECT_EQ(ziplib_ops()->bytes_in, static_cast<int32_t>(10 + raw.size()));
}

TEST_F(PayloadStream, UngetStopsAtTheStartOfTheChunk) {
    // Chunks of 16 bytes (cipher blocks are decrypted per chunk, so chunks hold whole
    // blocks): the header takes 10 bytes of the first.
    ASSERT_EQ(Open(ImageOf("abc\r\n"), 16), 0);
    StreamOps* ops = ziplib_ops();
    ASSERT_NE(ops, nullptr);
    EXPECT_EQ(ops->bytes_in, 10);
    for (int i = 0; i < 6; i++) {
        EXPECT_GE(ops->next_byte(), 0);
    }
    EXPECT_GE(ops->next_byte(), 0); // first byte of the second chunk
    EXPECT_EQ(ops->bytes_in, 17);
    EXPECT_EQ(ops->unget_byte(), 0);
    EXPECT_EQ(ops->bytes_in, 16);
    EXPECT_EQ(ops->unget_byte(), -1);
    EXPECT_EQ(ops->bytes_in, 16);
}

TEST_F(PayloadStream, PeeksAddressTheCurrentChunk) {
    ASSERT_EQ(Open(ImageOf("abc\r\n")), 0);
    StreamOps* ops = ziplib_ops();
    // The decrypted header: 1F 8B 08 00, then MTIME 0.
    EXPECT_EQ(ops->peek_u8(0, 0), 0x1F);
    EXPECT_EQ(ops->peek_u8(1, 0), 0x8B);
    EXPECT_EQ(ops->peek_u16(0, 0), 0x8B1F);
    EXPECT_EQ(ops->peek_u32(0, 0), 0x00088B1F);
    EXPECT_EQ(ops->peek_u8(-10, 1), 0x1F); // from the read position, after the header
    EXPECT_EQ(ops->peek_u8(-1, 0), -1);
    EXPECT_EQ(ops->peek_u32(65536 + 13, 0), -1);
}

// The inflater's final block and a data error end the stream alike; the end state tells
// them apart once the text is read, and tells input that ran out from an error.
TEST_F(PayloadStream, EndStateTellsHowTheDecodingEnded) {
    Bytes data = SrecText(100000, 5);
    Bytes whole = GzipWrap(ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15), data);
    Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
    BitWriter bad_distance; // fixed codes: 'a', then length 3 at distance symbol 30
    bad_distance.Bits(1, 1);
    bad_distance.Bits(1, 2);
    FixedLiteral(bad_distance, 'a');
    FixedLiteral(bad_distance, 257);
    bad_distance.Code(30, 5);
    bad_distance.Bits(0, 16);
    BitWriter type3;
    type3.Bits(1, 1);
    type3.Bits(3, 2);
    type3.Bits(0, 16);
    struct Case {
        Bytes member;
        const char* description;
        int end;
    };
    const Case cases[] = {
        {whole, "the whole member", PAYLOAD_END_FINAL},
        {Bytes(whole.begin(), whole.end() - 8), "no trailer: not needed", PAYLOAD_END_FINAL},
        {cut, "cut inside its DEFLATE data", PAYLOAD_END_TRUNCATED},
        {GzipWrap(bad_distance.Finish(), {}), "a distance symbol that does not exist",
         PAYLOAD_END_ERROR},
        {GzipWrap(type3.Finish(), {}), "block type 3", PAYLOAD_END_ERROR},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Open(Seal(c.member)), 0) << c.description;
        EXPECT_EQ(payload_end_state(), PAYLOAD_END_NONE) << c.description;
        ReadAllBytes();
        EXPECT_EQ(payload_end_state(), c.end) << c.description;
    }
    payload_close();
    EXPECT_EQ(payload_end_state(), PAYLOAD_END_NONE) << "closed";
    EXPECT_EQ(Open(Bytes(64, 0x5A)), -1);
    EXPECT_EQ(payload_end_state(), PAYLOAD_END_ERROR) << "a failed open";
}

// ----------------------------------------------------------------------------------------
// Open, close and the states.

TEST_F(PayloadStream, RejectedHeaderFailsTheOpenAndReadsGiveNothing) {
    Bytes bad = Seal({0x50, 0x4B, 3, 4, 0, 0, 0, 0});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Open(bad), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ziplib: unsupport file format MAGIC: 0x50:0x4b\n");
    char buffer[8] = "keep";
    EXPECT_EQ(payload_getc(), -1);
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "keep");
    // A later open works without a close in between.
    ASSERT_EQ(Open(ImageOf("ok\r\n")), 0);
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "ok");
}

TEST_F(PayloadStream, ImageEncryptedWithAnotherKeyIsRejected) {
    std::string text = "S0\r\n";
    Bytes data(text.begin(), text.end());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Open(Seal(GzipWrap(ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15), data), "other")),
              -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("ziplib: "), std::string::npos);
}

TEST_F(PayloadStream, KeyIsTheFirstEightBytesOfTheKeyText) {
    std::string text = "S0\r\n";
    Bytes data(text.begin(), text.end());
    g_image = Seal(GzipWrap(ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15), data), "rtog5u3X");
    g_position = 0;
    ASSERT_EQ(payload_open(TestSource, 65536, "rtog5u3XYZ"), 0);
    char buffer[16];
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "S0");
}

TEST_F(PayloadStream, EmptyImageFailsTheOpen) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Open({}), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ziplib: unsupport file format MAGIC: 0xffffffff:0xffffffff\n");
}

TEST_F(PayloadStream, UnusableArgumentsFailTheOpen) {
    g_image = ImageOf("x\r\n");
    g_position = 0;
    EXPECT_EQ(payload_open(nullptr, 65536, kKeyText), -1);
    EXPECT_EQ(payload_open(TestSource, 65535, kKeyText), -1);
    EXPECT_EQ(payload_open(TestSource, -1, kKeyText), -1);
    EXPECT_EQ(payload_open(TestSource, 65536, nullptr), -1);
    EXPECT_EQ(payload_getc(), -1);
}

TEST_F(PayloadStream, ReadsAfterCloseGiveNothing) {
    ASSERT_EQ(Open(ImageOf("abc\r\n")), 0);
    payload_close();
    payload_close();
    char buffer[8] = "keep";
    EXPECT_EQ(payload_peek(), -1);
    EXPECT_EQ(payload_getc(), -1);
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "keep");
}

TEST_F(PayloadStream, ReopenRestartsOverAnotherImage) {
    ASSERT_EQ(Open(ImageOf("first\r\nsecond\r\n")), 0);
    char buffer[32];
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), 6);
    ASSERT_EQ(Open(ImageOf("third\r\n")), 0);
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), 6);
    EXPECT_STREQ(buffer, "third");
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), -1);
}

// One block of a megabyte: the output buffer grows in 32 KiB steps within one pull.
TEST_F(PayloadStream, OutputBufferGrowsForALargeBlock) {
    std::string text(1 << 20, 'x');
    ASSERT_EQ(Open(ImageOf(text)), 0);
    EXPECT_EQ(ReadAllBytes(3), text);
}

// Memory: a failed allocation fails the open; a buffer that cannot grow ends the text
// where the buffer ended, with nothing written past it.
int g_alloc_calls;
int g_fail_alloc = -1;
bool g_fail_resize;
void* FailingAlloc(size_t n) {
    return g_alloc_calls++ == g_fail_alloc ? nullptr : std::malloc(n);
}
void* FailingResize(void* p, size_t n) {
    return g_fail_resize ? nullptr : std::realloc(p, n);
}

TEST_F(PayloadStream, AllocationFailuresFailTheOpen) {
    Bytes image = ImageOf("abc\r\n");
    for (int k : {0, 1}) { // chunk buffer, output buffer
        payload_close();
        g_alloc_calls = 0;
        g_fail_alloc = k;
        g_fail_resize = false;
        payload_set_allocator(FailingAlloc, FailingResize, std::free);
        EXPECT_EQ(Open(image), -1) << "allocation " << k;
        EXPECT_EQ(payload_getc(), -1);
        g_fail_alloc = -1;
        EXPECT_EQ(Open(image), 0);
        EXPECT_EQ(payload_getc(), 'a');
    }
}

TEST_F(PayloadStream, OutputThatCannotGrowEndsTheText) {
    std::string text(1 << 20, 'x');
    g_alloc_calls = 0;
    g_fail_alloc = -1;
    g_fail_resize = true;
    payload_set_allocator(FailingAlloc, FailingResize, std::free);
    ASSERT_EQ(Open(ImageOf(text)), 0);
    EXPECT_EQ(ReadAllBytes(3), std::string(32768, 'x'));
    EXPECT_EQ(payload_getc(), -1);
}

} // namespace
