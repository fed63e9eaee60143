// The inflater against zlib on streams made at run time, its output batching, and its
// failure results on hand-assembled bit streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

#include "decode_support.h"
#include "payload/inflate.h"
#include "payload/ziplib.h"

using namespace decode_test;

namespace {

constexpr size_t kWindow = 32768;
const Bytes kTrailer = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};

struct ParityCase {
    std::string description;
    std::function<Bytes()> data;
    int level;
    int strategy;
    int window_bits;
    size_t flush_every;
    int mem_level;
};

std::ostream& operator<<(std::ostream& os, const ParityCase& c) {
    return os << c.description;
}

std::vector<ParityCase> ParityCases() {
    std::vector<ParityCase> cases;
    for (int level = 0; level <= 9; level++) {
        static const char* names[] = {"level 0", "level 1", "level 2", "level 3", "level 4",
                                      "level 5", "level 6", "level 7", "level 8", "level 9"};
        cases.push_back(
            {names[level], [] { return Mixed(300000, 11); }, level, Z_DEFAULT_STRATEGY, 15, 0, 8});
    }
    cases.push_back({"filtered", [] { return Mixed(200000, 12); }, 6, Z_FILTERED, 15, 0, 8});
    cases.push_back(
        {"Huffman only", [] { return SrecText(200000, 13); }, 6, Z_HUFFMAN_ONLY, 15, 0, 8});
    cases.push_back({"RLE", [] { return Runs(200000, 14); }, 6, Z_RLE, 15, 0, 8});
    cases.push_back({"fixed codes", [] { return Mixed(200000, 15); }, 6, Z_FIXED, 15, 0, 8});
    cases.push_back({"fixed codes, runs", [] { return Runs(100000, 16); }, 9, Z_FIXED, 15, 0, 8});
    for (int wb = 9; wb <= 15; wb++) {
        static const char* names[] = {"window 2^9",  "window 2^10", "window 2^11", "window 2^12",
                                      "window 2^13", "window 2^14", "window 2^15"};
        cases.push_back(
            {names[wb - 9], [] { return SrecText(150000, 17); }, 9, Z_DEFAULT_STRATEGY, wb, 0, 8});
    }
    cases.push_back({"sync flush every 1000", [] { return SrecText(100000, 18); }, 6,
                     Z_DEFAULT_STRATEGY, 15, 1000, 8});
    cases.push_back({"sync flush every 32768", [] { return Mixed(200000, 19); }, 6,
                     Z_DEFAULT_STRATEGY, 15, 32768, 8});
    cases.push_back(
        {"sync flush every 7, fixed", [] { return SrecText(5000, 20); }, 6, Z_FIXED, 15, 7, 8});
    cases.push_back({"small blocks (memLevel 1)", [] { return SrecText(200000, 21); }, 6,
                     Z_DEFAULT_STRATEGY, 15, 0, 1});
    cases.push_back({"large blocks (memLevel 9)", [] { return SrecText(400000, 22); }, 9,
                     Z_DEFAULT_STRATEGY, 15, 0, 9});
    cases.push_back({"incompressible", [] { return RandomBytes(150000, 23); }, 9,
                     Z_DEFAULT_STRATEGY, 15, 0, 8});
    for (size_t size : {size_t{0}, size_t{1}, size_t{258}, kWindow - 1, kWindow, kWindow + 1,
                        2 * kWindow - 1, 2 * kWindow, 2 * kWindow + 1, 3 * kWindow, 5 * kWindow + 7,
                        size_t{65535}, size_t{65536}, size_t{65537}}) {
        for (int level : {0, 6}) {
            cases.push_back({"size " + std::to_string(size) + " level " + std::to_string(level),
                             [size] { return Mixed(size, 24 + static_cast<uint32_t>(size)); },
                             level, Z_DEFAULT_STRATEGY, 15, 0, 8});
        }
    }
    cases.push_back(
        {"one long run", [] { return Bytes(1 << 20, 'x'); }, 9, Z_DEFAULT_STRATEGY, 15, 0, 8});
    cases.push_back({"firmware text 1 MiB", [] { return SrecText(1 << 20, 25); }, 9,
                     Z_DEFAULT_STRATEGY, 15, 0, 8});
    return cases;
}

class InflateParity : public ::testing::TestWithParam<ParityCase> {};

// Output equals zlib's byte for byte; every step decodes one block; output leaves in full
// windows during the stream and the remainder at its end; the whole bytes read ahead are
// handed back, leaving the input just after the DEFLATE data.
TEST_P(InflateParity, MatchesZlibBlockByBlock) {
    const ParityCase& c = GetParam();
    Bytes data = c.data();
    Bytes raw = ZlibDeflate(data, c.level, c.strategy, -c.window_bits, c.flush_every, c.mem_level);
    ZlibBlocks z = ZlibInflateBlocks(raw);
    ASSERT_TRUE(z.ok);
    ASSERT_EQ(z.output, data);

    Bytes input = raw;
    input.insert(input.end(), kTrailer.begin(), kTrailer.end());
    MemoryStream m(input);
    m.Attach();
    EXPECT_EQ(m.PullAll(), 1);
    EXPECT_TRUE(m.output == data) << "output differs; sizes " << m.output.size() << " "
                                  << data.size();
    ASSERT_EQ(m.results.size(), z.output_after_block.size())
        << ::testing::PrintToString(z.output_after_block) << " vs "
        << ::testing::PrintToString(m.output_after_step);
    for (size_t i = 0; i + 1 < m.results.size(); i++) {
        EXPECT_EQ(m.results[i], 0) << "step " << i;
        EXPECT_EQ(m.output_after_step[i], z.output_after_block[i] / kWindow * kWindow)
            << "step " << i;
    }
    EXPECT_EQ(m.pos, raw.size());
    EXPECT_EQ(static_cast<size_t>(m.ops.bytes_in), raw.size());
    EXPECT_EQ(static_cast<size_t>(m.ops.bytes_out), data.size());
    EXPECT_EQ(m.next_calls_past_end, 0);
}

INSTANTIATE_TEST_SUITE_P(Zlib, InflateParity, ::testing::ValuesIn(ParityCases()),
                         [](const ::testing::TestParamInfo<ParityCase>& info) {
                             std::string n = info.param.description;
                             for (char& ch : n) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return n + "_" + std::to_string(info.index);
                         });

// Runs one stream through the inflater; returns the last result.
int Inflate(MemoryStream& m) {
    m.Attach();
    return m.PullAll();
}

struct Outcome {
    int result;
    Bytes output;
    std::string diagnostics;
};

Outcome InflateCapturing(const Bytes& input) {
    MemoryStream m(input);
    ::testing::internal::CaptureStderr();
    int r = Inflate(m);
    std::string err = ::testing::internal::GetCapturedStderr();
    return {r, m.output, err};
}

Bytes StoredBlock(bool final, const Bytes& data) {
    BitWriter w;
    w.Bits(final, 1);
    w.Bits(0, 2);
    w.Align();
    uint16_t len = static_cast<uint16_t>(data.size());
    w.Byte(len & 0xFF);
    w.Byte(len >> 8);
    w.Byte(~len & 0xFF);
    w.Byte((~len >> 8) & 0xFF);
    Bytes out = w.Finish();
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Lengths for a literal/length code: the listed symbols get the given lengths, nl in all.
std::vector<unsigned> Lengths(unsigned n,
                              std::initializer_list<std::pair<unsigned, unsigned>> set) {
    std::vector<unsigned> l(n, 0);
    for (auto [sym, len] : set) {
        l.at(sym) = len;
    }
    return l;
}

void WriteSym(BitWriter& w, const std::vector<unsigned>& lengths, unsigned sym) {
    std::vector<uint32_t> codes = CanonicalCodes(lengths);
    w.Code(codes[sym], lengths[sym]);
}

struct FailureCase {
    const char* description;
    std::function<Bytes()> stream;
    int result;
    const char* diagnostics;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
    return os << c.description;
}

Bytes DynamicCountsOnly(unsigned hlit, unsigned hdist) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(2, 2);
    w.Bits(hlit, 5);
    w.Bits(hdist, 5);
    w.Bits(15, 4);
    for (int i = 0; i < 19; i++) {
        w.Bits(4, 3);
    }
    w.Bits(0, 32);
    return w.Finish();
}

// A dynamic block header with only the first nc code-length lengths given, then padding.
Bytes CodeLengthCode(std::vector<unsigned> first_lengths, uint32_t after_bits = 0) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(2, 2);
    w.Bits(0, 5);
    w.Bits(0, 5);
    w.Bits(static_cast<unsigned>(first_lengths.size() - 4), 4);
    for (unsigned l : first_lengths) {
        w.Bits(l, 3);
    }
    w.Bits(after_bits, 32);
    w.Bits(0, 32);
    return w.Finish();
}

// 'A', end of block and length symbol 257 (length 3): a complete code.
const std::vector<unsigned> kLitA = Lengths(258, {{'A', 2}, {256, 2}, {257, 1}});

std::vector<FailureCase> FailureCases() {
    return {
        {"block type 3",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(3, 2);
             w.Bits(0, 16);
             return w.Finish();
         },
         2, ""},
        {"non-final block type 3 after a stored block",
         [] {
             Bytes s = StoredBlock(false, {'a', 'b'});
             s.push_back(0x07); // BFINAL 1, BTYPE 3
             return s;
         },
         2, ""},
        {"stored LEN 5 without its complement",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(0, 2);
             w.Align();
             for (int b : {0x05, 0x00, 0xFB, 0xFF, 0x61, 0x62, 0x63, 0x64, 0x65})
                 w.Byte(static_cast<uint8_t>(b));
             return w.Finish();
         },
         1, ""},
        {"HLIT 30", [] { return DynamicCountsOnly(30, 0); }, 1, ""},
        {"HLIT 31", [] { return DynamicCountsOnly(31, 0); }, 1, ""},
        {"HDIST 30", [] { return DynamicCountsOnly(0, 30); }, 1, ""},
        {"HDIST 31", [] { return DynamicCountsOnly(0, 31); }, 1, ""},
        {"code-length code incomplete",
         [] {
             return CodeLengthCode({0, 0, 0, 2});
         },
         1, ""},
        {"code-length code over-subscribed",
         [] {
             return CodeLengthCode({1, 1, 1, 0});
         },
         2, ""},
        {"code-length code empty (no table)",
         [] {
             return CodeLengthCode({0, 0, 0, 0});
         },
         1, ""},
        {"code-length code of one 1-bit code, unused code read",
         [] {
             return CodeLengthCode({0, 0, 0, 1}, 0x1);
         },
         1, ""},
        {"repeat 18 runs past nl + nd",
         [] {
             BitWriter w;
             DynamicHeader(w, true, 0, 0, {{18, 127}, {18, 127}});
             w.Bits(0, 32);
             return w.Finish();
         },
         1, ""},
        {"repeat 16 runs past nl + nd",
         [] {
             BitWriter w;
             DynamicHeader(w, true, 0, 0, {{1, 0}, {18, 127}, {18, 107}, {16, 0}});
             w.Bits(0, 32);
             return w.Finish();
         },
         1, ""},
        {"repeat 17 runs past nl + nd",
         [] {
             BitWriter w;
             DynamicHeader(w, true, 0, 0, {{18, 127}, {18, 108}, {17, 0}});
             w.Bits(0, 32);
             return w.Finish();
         },
         1, ""},
        {"literal/length code incomplete",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, Lengths(257, {{0, 2}, {256, 2}}), {1});
             w.Bits(0, 32);
             return w.Finish();
         },
         1, " incomplete literal tree\n"},
        {"distance code incomplete",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {2, 2});
             w.Bits(0, 32);
             return w.Finish();
         },
         1, " incomplete distance tree\n"},
        {"literal/length code over-subscribed",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, Lengths(257, {{0, 1}, {1, 1}, {256, 1}}), {1});
             w.Bits(0, 32);
             return w.Finish();
         },
         2, ""},
        {"distance code over-subscribed",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {1, 1, 1});
             w.Bits(0, 32);
             return w.Finish();
         },
         2, ""},
        {"fixed literal/length symbol 286",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedLiteral(w, 286);
             w.Bits(0, 16);
             return w.Finish();
         },
         1, ""},
        {"fixed literal/length symbol 287",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedLiteral(w, 287);
             w.Bits(0, 16);
             return w.Finish();
         },
         1, ""},
        {"fixed distance symbol 30",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedLiteral(w, 'a');
             FixedLiteral(w, 257);
             w.Code(30, 5);
             w.Bits(0, 16);
             return w.Finish();
         },
         1, ""},
        {"fixed distance symbol 31",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedLiteral(w, 'a');
             FixedLiteral(w, 257);
             w.Code(31, 5);
             w.Bits(0, 16);
             return w.Finish();
         },
         1, ""},
        {"unused slot of a one-code distance code",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {1});
             WriteSym(w, kLitA, 'A');
             WriteSym(w, kLitA, 257);
             w.Code(1, 1);
             w.Bits(0, 16);
             return w.Finish();
         },
         1, ""},
        {"all-zero literal/length code (no table)",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, std::vector<unsigned>(257, 0), {1});
             w.Bits(0, 32);
             return w.Finish();
         },
         1, ""},
        {"length symbol with an all-zero distance code (no table)",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {0});
             WriteSym(w, kLitA, 'A');
             WriteSym(w, kLitA, 257);
             w.Bits(0, 16);
             return w.Finish();
         },
         1, ""},
        {"end-of-block symbol without a code",
         [] {
             std::vector<unsigned> lit = Lengths(257, {{'A', 1}, {'B', 1}});
             BitWriter w;
             DynamicHeaderFromLengths(w, true, lit, {1});
             WriteSym(w, lit, 'A');
             WriteSym(w, lit, 'B');
             return w.Finish();
         },
         1, ""},
        {"empty input", [] { return Bytes{}; }, 1, ""},
        {"input ends in a stored block",
         [] {
             Bytes s = StoredBlock(true, Bytes(100, 'q'));
             s.resize(50);
             return s;
         },
         1, ""},
        {"input ends after a non-final block", [] { return StoredBlock(false, Bytes(10, 'q')); }, 1,
         ""},
        {"input ends in a fixed block before its end-of-block code",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             for (char ch : std::string("hello"))
                 FixedLiteral(w, ch);
             return w.Finish();
         },
         1, ""},
        {"input ends in a dynamic header",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {1});
             Bytes b = w.Finish();
             b.resize(b.size() / 2);
             return b;
         },
         1, ""},
    };
}

class InflateFailure : public ::testing::TestWithParam<FailureCase> {};

// Every failure ends the stream with its result and diagnostic, and the window's remainder
// is not delivered.
TEST_P(InflateFailure, ResultAndDiagnostic) {
    const FailureCase& c = GetParam();
    Outcome o = InflateCapturing(c.stream());
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.diagnostics, c.diagnostics);
    EXPECT_TRUE(o.output.empty()) << Hex(o.output);
}

INSTANTIATE_TEST_SUITE_P(Rows, InflateFailure, ::testing::ValuesIn(FailureCases()),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return "case_" + std::to_string(info.index);
                         });

struct EdgeCase {
    const char* description;
    std::function<Bytes()> stream;
    Bytes expected;
    bool zlib_agrees; // zlib decodes the stream to the same bytes
};

std::ostream& operator<<(std::ostream& os, const EdgeCase& c) {
    return os << c.description;
}

std::vector<EdgeCase> EdgeCases() {
    return {
        {"stored LEN 0 with complement 0xFFFF", [] { return StoredBlock(true, {}); }, {}, true},
        {"empty stored blocks around data",
         [] {
             Bytes s = StoredBlock(false, {});
             Bytes t = StoredBlock(false, {'x', 'y'});
             Bytes u = StoredBlock(true, {});
             s.insert(s.end(), t.begin(), t.end());
             s.insert(s.end(), u.begin(), u.end());
             return s;
         },
         {'x', 'y'},
         true},
        {"stored LEN 65535", [] { return StoredBlock(true, RandomBytes(65535, 3)); },
         RandomBytes(65535, 3), true},
        {"fixed block with end-of-block only",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedLiteral(w, 256);
             return w.Finish();
         },
         {},
         true},
        {"length 258 at distance 1",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedLiteral(w, 'x');
             FixedMatch(w, 258, 1);
             FixedLiteral(w, 256);
             return w.Finish();
         },
         Bytes(259, 'x'), true},
        {"overlapping match at distance 3",
         [] {
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             for (char ch : std::string("abc"))
                 FixedLiteral(w, ch);
             FixedMatch(w, 10, 3);
             FixedLiteral(w, 256);
             return w.Finish();
         },
         Bytes{'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c', 'a'}, true},
        {"match whose destination crosses the window end",
         [] {
             Bytes s = StoredBlock(false, RandomBytes(32760, 5));
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedMatch(w, 20, 100);
             FixedLiteral(w, 256);
             Bytes f = w.Finish();
             s.insert(s.end(), f.begin(), f.end());
             return s;
         },
         [] {
             Bytes d = RandomBytes(32760, 5);
             for (int i = 0; i < 20; i++)
                 d.push_back(d[d.size() - 100]);
             return d;
         }(),
         true},
        {"match whose source crosses the window end",
         [] {
             Bytes s = StoredBlock(false, RandomBytes(32778, 6));
             BitWriter w;
             w.Bits(1, 1);
             w.Bits(1, 2);
             FixedMatch(w, 258, 100);
             FixedMatch(w, 200, 32768);
             FixedLiteral(w, 256);
             Bytes f = w.Finish();
             s.insert(s.end(), f.begin(), f.end());
             return s;
         },
         [] {
             Bytes d = RandomBytes(32778, 6);
             for (int i = 0; i < 258; i++)
                 d.push_back(d[d.size() - 100]);
             for (int i = 0; i < 200; i++)
                 d.push_back(d[d.size() - 32768]);
             return d;
         }(),
         true},
        {"repeat 16 at the first position repeats length 0",
         [] {
             std::vector<unsigned> lit = Lengths(257, {{'A', 1}, {256, 1}});
             BitWriter w;
             DynamicHeader(w, true, 0, 0,
                           {{16, 0}, {18, 51}, {1, 0}, {18, 127}, {18, 41}, {1, 0}, {0, 0}});
             WriteSym(w, lit, 'A');
             WriteSym(w, lit, 'A');
             WriteSym(w, lit, 256);
             return w.Finish();
         },
         Bytes{'A', 'A'}, false},
        {"one distance code of length 1",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {1});
             WriteSym(w, kLitA, 'A');
             WriteSym(w, kLitA, 257);
             w.Code(0, 1);
             WriteSym(w, kLitA, 256);
             return w.Finish();
         },
         Bytes{'A', 'A', 'A', 'A'}, true},
        {"literals only with an all-zero distance code",
         [] {
             BitWriter w;
             DynamicHeaderFromLengths(w, true, kLitA, {0});
             WriteSym(w, kLitA, 'A');
             WriteSym(w, kLitA, 256);
             return w.Finish();
         },
         Bytes{'A'}, true},
        {"one literal/length code of length 1 besides end-of-block",
         [] {
             std::vector<unsigned> lit = Lengths(257, {{256, 1}});
             BitWriter w;
             DynamicHeaderFromLengths(w, true, lit, {1});
             WriteSym(w, lit, 256);
             return w.Finish();
         },
         Bytes{}, true},
        {"trailer bytes are not read",
         [] {
             Bytes s = StoredBlock(true, {'o', 'k'});
             s.push_back(0xFF);
             return s;
         },
         Bytes{'o', 'k'}, false},
    };
}

class InflateEdge : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(InflateEdge, DecodesAsSpecified) {
    const EdgeCase& c = GetParam();
    Bytes s = c.stream();
    Outcome o = InflateCapturing(s);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.diagnostics, "");
    EXPECT_EQ(Hex(o.output), Hex(c.expected));
    if (c.zlib_agrees) {
        ZlibBlocks z = ZlibInflateBlocks(s);
        EXPECT_TRUE(z.ok);
        EXPECT_EQ(Hex(z.output), Hex(c.expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, InflateEdge, ::testing::ValuesIn(EdgeCases()),
                         [](const ::testing::TestParamInfo<EdgeCase>& info) {
                             return "case_" + std::to_string(info.index);
                         });

// A stream that ends inside its DEFLATE data never yields invented bytes: whatever it
// delivered is a prefix of the true output, in whole windows, and the step ends with a
// nonzero result after asking for input past the end only once.
TEST(InflateTruncated, EveryCutEndsInOrder) {
    struct Source {
        const char* description;
        Bytes data;
        int level;
        int strategy;
    };
    std::vector<Source> sources = {
        {"dynamic", SrecText(3000, 31), 6, Z_DEFAULT_STRATEGY},
        {"fixed", SrecText(3000, 32), 6, Z_FIXED},
        {"stored", RandomBytes(3000, 33), 0, Z_DEFAULT_STRATEGY},
    };
    for (const Source& src : sources) {
        Bytes raw = ZlibDeflate(src.data, src.level, src.strategy, -15);
        for (size_t cut = 0; cut < raw.size(); cut++) {
            MemoryStream m(Bytes(raw.begin(), raw.begin() + cut));
            int r = Inflate(m);
            ASSERT_NE(r, 0) << src.description << " cut " << cut;
            ASSERT_EQ(m.output.size() % kWindow, 0u) << src.description << " cut " << cut;
            ASSERT_TRUE(std::equal(m.output.begin(), m.output.end(), src.data.begin()));
            ASSERT_LE(m.next_calls_past_end, 1) << src.description << " cut " << cut;
        }
    }
}

TEST(InflateTruncated, LargeStreamCutKeepsDeliveredWindows) {
    Bytes data = SrecText(300000, 34);
    Bytes raw = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15);
    for (size_t cut : {raw.size() / 3, raw.size() / 2, raw.size() - 1}) {
        MemoryStream m(Bytes(raw.begin(), raw.begin() + cut));
        EXPECT_EQ(Inflate(m), 1);
        EXPECT_EQ(m.output.size() % kWindow, 0u);
        EXPECT_GT(m.output.size(), 0u);
        EXPECT_TRUE(std::equal(m.output.begin(), m.output.end(), data.begin()));
    }
}

// The final block's code is decoded from bits that are all present even when the look-ahead
// runs past the end of the input: a member without its trailer decodes completely.
TEST(InflateTruncated, LookAheadPastTheEndIsNotAnError) {
    for (uint32_t seed = 1; seed <= 40; seed++) {
        Bytes data = SrecText(500 + seed * 37, seed);
        Bytes raw = ZlibDeflate(data, 9, seed % 2 ? Z_FIXED : Z_DEFAULT_STRATEGY, -15);
        MemoryStream m(raw);
        EXPECT_EQ(Inflate(m), 1);
        EXPECT_EQ(m.output, data) << "seed " << seed;
    }
}

// Output batching, observed step by step.
TEST(InflateBatches, ShortStreamIsDeliveredByTheFinalStep) {
    Bytes data = SrecText(20000, 41);
    Bytes raw = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY, -15, 5000);
    MemoryStream m(raw);
    EXPECT_EQ(Inflate(m), 1);
    ASSERT_GE(m.results.size(), 5u);
    for (size_t i = 0; i + 1 < m.results.size(); i++) {
        EXPECT_EQ(m.results[i], 0);
        EXPECT_EQ(m.output_after_step[i], 0u);
    }
    EXPECT_EQ(m.output, data);
}

TEST(InflateBatches, FullWindowIsDeliveredByItsOwnStep) {
    Bytes first = RandomBytes(kWindow, 42);
    Bytes s = StoredBlock(false, first);
    Bytes t = StoredBlock(true, {'t', 'a', 'i', 'l'});
    s.insert(s.end(), t.begin(), t.end());
    MemoryStream m(s);
    EXPECT_EQ(Inflate(m), 1);
    EXPECT_EQ(m.output_after_step, (std::vector<size_t>{kWindow, kWindow + 4}));
    EXPECT_EQ(m.results, (std::vector<int>{0, 1}));
    Bytes expected = first;
    expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
    EXPECT_EQ(m.output, expected);
}

TEST(InflateBatches, EveryCallIsAWholeWindowUntilTheEnd) {
    Bytes data = Mixed(5 * kWindow + 123, 43);
    Bytes raw = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY, -15);
    MemoryStream m(raw);
    EXPECT_EQ(Inflate(m), 1);
    ASSERT_EQ(m.results.size(), 1u + std::count(m.results.begin(), m.results.end(), 0));
    EXPECT_EQ(m.output, data);
    for (size_t i = 0; i + 1 < m.output_after_step.size(); i++) {
        EXPECT_EQ(m.output_after_step[i] % kWindow, 0u);
    }
}

// A literal/length code whose end-of-block code is 1 bit while the first level is 9 bits
// wide: the end-of-block lookup reads a whole byte ahead, which is handed back.
Bytes LookAheadStream() {
    std::vector<unsigned> lit(257, 9);
    lit[256] = 1;
    BitWriter w;
    DynamicHeaderFromLengths(w, true, lit, {0});
    WriteSym(w, lit, 'A');
    WriteSym(w, lit, 256);
    Bytes b = w.Finish();
    b.insert(b.end(), kTrailer.begin(), kTrailer.end());
    return b;
}

TEST(InflateLookAhead, WholeBytesAreHandedBack) {
    Bytes s = LookAheadStream();
    MemoryStream m(s);
    EXPECT_EQ(Inflate(m), 1);
    EXPECT_EQ(m.output, Bytes{'A'});
    EXPECT_EQ(m.pos, s.size() - kTrailer.size());
    EXPECT_EQ(static_cast<size_t>(m.ops.bytes_in), m.pos);
}

TEST(InflateLookAhead, RefusedUngetEndsWithFourAndDeliversNothing) {
    Bytes s = LookAheadStream();
    MemoryStream m(s);
    m.unget_floor = s.size();
    EXPECT_EQ(Inflate(m), 4);
    EXPECT_TRUE(m.output.empty());
}

// Allocation failures while building tables end the step with 3 and leak nothing.
int g_allocs = 0;
int g_frees = 0;
int g_fail_at = -1;
void* CountingAlloc(size_t n) {
    if (g_allocs++ == g_fail_at) {
        return nullptr;
    }
    return std::malloc(n);
}
void CountingFree(void* p) {
    if (p != nullptr) {
        g_frees++;
    }
    std::free(p);
}

TEST(InflateMemory, EveryAllocationFailureGivesThree) {
    Bytes data = SrecText(20000, 51);
    Bytes raw = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY, -15, 4000);
    Bytes fixed = ZlibDeflate(data, 6, Z_FIXED, -15, 4000);
    for (const Bytes& stream : {raw, fixed}) {
        inflate_set_table_allocator(CountingAlloc, CountingFree);
        g_allocs = g_frees = 0;
        g_fail_at = -1;
        MemoryStream ok(stream);
        EXPECT_EQ(Inflate(ok), 1);
        EXPECT_EQ(ok.output, data);
        int total = g_allocs;
        EXPECT_EQ(g_frees, total);
        ASSERT_GT(total, 4);
        for (int k = 0; k < total; k++) {
            g_allocs = g_frees = 0;
            g_fail_at = k;
            MemoryStream m(stream);
            EXPECT_EQ(Inflate(m), 3) << "allocation " << k;
            EXPECT_EQ(g_frees, g_allocs - 1) << "allocation " << k;
        }
        inflate_set_table_allocator(nullptr, nullptr);
    }
}

} // namespace

namespace {

// Allocation sizes seen by the table allocator, in entries.
std::vector<size_t> g_sizes;
void* RecordingAlloc(size_t n) {
    g_sizes.push_back(n / sizeof(CodeEntry));
    return std::malloc(n);
}

struct TableCase {
    const char* description;
    std::vector<unsigned> lengths;
    unsigned simple;
    int asked_width;
    int result;
    int width;
};

std::ostream& operator<<(std::ostream& os, const TableCase& c) {
    return os << c.description;
}

std::vector<unsigned> FixedLitLengths() {
    std::vector<unsigned> l(288);
    for (unsigned i = 0; i < 288; i++) {
        l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    }
    return l;
}

std::vector<TableCase> TableCases() {
    std::vector<unsigned> skewed; // 1, 2, ..., 15, 15: complete, codes up to 15 bits
    for (unsigned l = 1; l <= 15; l++) {
        skewed.push_back(l);
    }
    skewed.push_back(15);
    std::vector<unsigned> skewed16 = skewed; // the same shape reaching 16 bits
    skewed16.back() = 16;
    skewed16.push_back(16);
    return {
        {"no symbols", std::vector<unsigned>(30, 0), 0, 6, 0, 0},
        {"one code of length 1 is complete", {0, 1, 0}, 0, 9, 0, 1},
        {"two codes of length 2 are incomplete", {2, 0, 2}, 0, 9, 1, 2},
        {"three codes of length 1 are over-subscribed", {1, 1, 1}, 0, 9, 2, 0},
        {"over-subscribed only at the longest length", {1, 2, 3, 3, 3}, 0, 9, 2, 0},
        {"width raised to the shortest length", std::vector<unsigned>(256, 8), 256, 7, 0, 8},
        {"width lowered to the longest length", std::vector<unsigned>(30, 5), 0, 6, 1, 5},
        {"fixed literal/length code", FixedLitLengths(), 257, 7, 0, 7},
        {"skewed code with 15-bit codes", skewed, 0, 9, 0, 9},
        {"skewed code with 16-bit codes and narrow first level", skewed16, 0, 5, 0, 5},
        {"incomplete code-length code",
         {3, 3, 3, 3, 3, 3, 0, 4, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0, 4},
         19,
         7,
         1,
         5},
    };
}

class BuildCodeTable : public ::testing::TestWithParam<TableCase> {};

// Every code resolves, through the links, to its own symbol after exactly its length in
// bits; links consume the first-level width; every allocation holds 2^w + 1 entries; the
// release frees them all.
TEST_P(BuildCodeTable, EveryCodeResolvesToItsSymbol) {
    const TableCase& c = GetParam();
    g_sizes.clear();
    g_allocs = g_frees = 0;
    g_fail_at = -1;
    inflate_set_table_allocator(RecordingAlloc, CountingFree);
    CodeEntry* table = reinterpret_cast<CodeEntry*>(1);
    int width = c.asked_width;
    std::vector<uint16_t> bases(c.lengths.size()), dummy;
    std::vector<uint8_t> extras(c.lengths.size());
    for (size_t i = 0; i < bases.size(); i++) {
        bases[i] = static_cast<uint16_t>(1000 + i);
        extras[i] = static_cast<uint8_t>(i % 14);
    }
    int r = build_code_table(c.lengths.data(), static_cast<unsigned>(c.lengths.size()), c.simple,
                             bases.data(), extras.data(), &table, &width);
    EXPECT_EQ(r, c.result);
    if (r >= 2) {
        EXPECT_EQ(table, nullptr);
        EXPECT_EQ(g_frees, static_cast<int>(g_sizes.size()));
        inflate_set_table_allocator(nullptr, nullptr);
        return;
    }
    EXPECT_EQ(width, c.width);
    if (c.width == 0) {
        EXPECT_EQ(table, nullptr);
        inflate_set_table_allocator(nullptr, nullptr);
        return;
    }
    ASSERT_NE(table, nullptr);
    for (size_t n : g_sizes) {
        size_t w = 0;
        while ((size_t{1} << w) + 1 < n) {
            w++;
        }
        EXPECT_EQ((size_t{1} << w) + 1, n);
        EXPECT_LE(w, static_cast<size_t>(width));
    }
    std::vector<uint32_t> codes = CanonicalCodes(c.lengths);
    for (unsigned sym = 0; sym < c.lengths.size(); sym++) {
        unsigned len = c.lengths[sym];
        if (len == 0) {
            continue;
        }
        uint32_t rev = 0;
        for (unsigned i = 0; i < len; i++) {
            rev |= ((codes[sym] >> (len - 1 - i)) & 1) << i;
        }
        for (uint32_t high : {0u, 0xFFFFFFFFu, 0xA5A5A5A5u}) {
            uint64_t bits = rev | (static_cast<uint64_t>(high) << len);
            const CodeEntry* t = table + (bits & ((1u << width) - 1));
            unsigned used = 0;
            while (t->op > 16) {
                ASSERT_NE(t->op, 99) << "symbol " << sym;
                EXPECT_EQ(t->bits, width) << "link of symbol " << sym;
                used += t->bits;
                unsigned w = t->op - 16;
                t = t->next + ((bits >> used) & ((1u << w) - 1));
            }
            used += t->bits;
            EXPECT_EQ(used, len) << "symbol " << sym;
            if (sym < c.simple) {
                EXPECT_EQ(t->op, sym < 256 ? 16 : 15);
                EXPECT_EQ(t->value, sym);
            } else {
                EXPECT_EQ(t->op, extras[sym - c.simple]);
                EXPECT_EQ(t->value, bases[sym - c.simple]);
            }
        }
    }
    free_code_table(table);
    EXPECT_EQ(g_frees, static_cast<int>(g_sizes.size()));
    inflate_set_table_allocator(nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Codes, BuildCodeTable, ::testing::ValuesIn(TableCases()),
                         [](const ::testing::TestParamInfo<TableCase>& info) {
                             return "case_" + std::to_string(info.index);
                         });

// Sub-tables are as narrow as the codes under their prefix allow: in the fixed code, the
// 7-bit prefixes of 8-bit codes get 1-bit sub-tables and those of 9-bit codes 2-bit ones.
TEST(BuildCodeTableLayout, FixedLiteralSubTables) {
    g_sizes.clear();
    g_frees = 0;
    inflate_set_table_allocator(RecordingAlloc, CountingFree);
    std::vector<unsigned> lengths = FixedLitLengths();
    std::vector<uint16_t> bases(31, 3);
    std::vector<uint8_t> extras(31, 0);
    CodeEntry* table = nullptr;
    int width = 7;
    ASSERT_EQ(
        build_code_table(lengths.data(), 288, 257, bases.data(), extras.data(), &table, &width), 0);
    ASSERT_EQ(g_sizes.size(), 1u + 76u + 28u);
    EXPECT_EQ(g_sizes[0], 129u);
    EXPECT_EQ(std::count(g_sizes.begin(), g_sizes.end(), 3u), 76);
    EXPECT_EQ(std::count(g_sizes.begin(), g_sizes.end(), 5u), 28);
    free_code_table(table);
    EXPECT_EQ(g_frees, 105);
    inflate_set_table_allocator(nullptr, nullptr);
}

TEST(BuildCodeTableLayout, UnusedSlotsAreInvalid) {
    unsigned lengths[30];
    std::fill(lengths, lengths + 30, 5u);
    CodeEntry* table = nullptr;
    int width = 5;
    uint16_t bases[30] = {};
    uint8_t extras[30] = {};
    ASSERT_EQ(build_code_table(lengths, 30, 0, bases, extras, &table, &width), 1);
    // Codes 30 and 31 (11110, 11111) are unused; reversed they index slots 15 and 31.
    EXPECT_EQ(table[15].op, 99);
    EXPECT_EQ(table[31].op, 99);
    free_code_table(table);
}

} // namespace

namespace {

// The window is never cleared: a distance reaching before a stream's first byte copies what
// the previous stream left there, as no check compares distances with the output so far.
TEST(InflateWindow, NewStreamStartsOverThePreviousStreamsBytes) {
    MemoryStream first(StoredBlock(true, {'a', 'b', 'c', 'd', 'e', 'f'}));
    ASSERT_EQ(Inflate(first), 1);

    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    FixedMatch(w, 3, 32768);
    FixedLiteral(w, 256);
    MemoryStream second(w.Finish());
    ASSERT_EQ(Inflate(second), 1);
    EXPECT_EQ(second.output, (Bytes{'a', 'b', 'c'}));
}

} // namespace

namespace {

// Damaged streams: bit flips in valid streams and plain random bytes end the stream with a
// nonzero result, never loop and ask for input past the end at most once.
TEST(InflateDamaged, FlippedBitsAndRandomBytesEndInOrder) {
    uint32_t seed = 0x9E3779B9u;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    std::vector<Bytes> streams = {
        ZlibDeflate(SrecText(20000, 81), 9, Z_DEFAULT_STRATEGY, -15),
        ZlibDeflate(Mixed(20000, 82), 1, Z_FIXED, -15),
        ZlibDeflate(Runs(20000, 83), 6, Z_RLE, -15, 3000),
    };
    for (int i = 0; i < 600; i++) {
        Bytes s;
        if (i % 3 == 2) {
            s = RandomBytes(1 + next() % 2000, next());
        } else {
            s = streams[next() % streams.size()];
            for (int flips = 1 + next() % 4; flips > 0; flips--) {
                s[next() % s.size()] ^= static_cast<uint8_t>(1u << (next() % 8));
            }
        }
        MemoryStream m(s);
        ::testing::internal::CaptureStderr();
        int r = Inflate(m);
        ::testing::internal::GetCapturedStderr();
        ASSERT_NE(r, 0) << "case " << i;
        ASSERT_LE(m.next_calls_past_end, 1) << "case " << i;
    }
}

} // namespace
