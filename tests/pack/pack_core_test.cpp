// The package tool's core: version packing, header bytes, source lines, record checks, the
// device's line splitting, and sealing an image so that the payload stream and zlib both read
// it back exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "package/firmware_package.h"
#include "payload/payload_stream.h"
#include "tests/pack/pack_test_util.h"
#include "tools/pack/package_image.h"
#include "tools/pack/record_check.h"

namespace {

using namespace vmod_pack;
using pack_test::FirmwareText;
using pack_test::PayloadCipher;

TEST(PackVersionText, PackableTextsComeBackThroughTheHeader) {
    struct Case {
        std::string text;
        const char* description;
        std::string decimal;
    } cases[] = {
        {"1.05", "the usual version", "825110581"},
        {"abc", "three characters", "6382179"},
        {"9", "one character", "57"},
        {"~~~~", "the largest characters", "2122219134"},
        {" 1.0", "a leading space", "540094000"},
    };
    for (const Case& c : cases) {
        std::string decimal, problem;
        ASSERT_TRUE(PackVersionText(c.text, &decimal, &problem)) << c.description << problem;
        EXPECT_EQ(decimal, c.decimal) << c.description;
        Bytes header = EncodeHeader(7, decimal);
        HeaderFields h = ParseHeader(std::string(header.begin(), header.end()));
        EXPECT_EQ(h.count, 7) << c.description;
        EXPECT_EQ(h.versionField, c.decimal) << c.description;
        EXPECT_EQ(h.shown.str(), std::wstring(c.text.begin(), c.text.end())) << c.description;
    }
}

TEST(PackVersionText, UnpackableTextsAreRefused) {
    struct Case {
        std::string text;
        const char* description;
    } cases[] = {
        {"", "empty"},
        {"1.050", "five characters"},
        {"1.0\x01", "a control character"},
        {"\t1", "a tab"},
        {"1\xc3\xa9", "a UTF-8 letter"},
        {"\x7f", "DEL"},
        {std::string("1\0", 2), "a NUL"},
    };
    for (const Case& c : cases) {
        std::string decimal, problem;
        EXPECT_FALSE(PackVersionText(c.text, &decimal, &problem)) << c.description;
        EXPECT_NE(problem.find("version"), std::string::npos) << c.description;
    }
}

TEST(VersionReadsAsNumber, AsTheVersionCheckReadsIt) {
    struct Case {
        const wchar_t* shown;
        bool number;
    } cases[] = {
        {L"1.05", true}, {L"2", true}, {L"1.0a", true}, {L" 1.0", true},
        {L"abc", false}, {L"", false}, {L"0.0", false}, {L"-1", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionReadsAsNumber(CString(c.shown)), c.number) << c.shown;
    }
}

TEST(Header, EncodedAsEightDigitsAndANulPaddedVersion) {
    Bytes header = EncodeHeader(4001, "825110581");
    EXPECT_EQ(std::string(header.begin(), header.end()),
              std::string("00004001825110581\0\0\0", 20));
    header = EncodeHeader(99999999, "2122219134");
    EXPECT_EQ(std::string(header.begin(), header.end()), std::string("999999992122219134\0\0", 20));
}

TEST(Header, ParsedAsTheLoaderParsesIt) {
    struct Case {
        std::string bytes;
        const char* description;
        int32_t count;
        std::wstring shown;
    } cases[] = {
        {std::string("00001234825110581\0\0\0", 20), "a built header", 1234, L"1.05"},
        {std::string("1234\0\0\0\0825110581", 17), "short: the version ends the file", 1234,
         L"1.05"},
        {"00000042", "only the count", 42, std::wstring(1, L'\0')},
        {"", "empty file", 0, std::wstring(1, L'\0')},
        {std::string("00000002000825110581") + "trailing bytes", "bytes after 20 unread", 2,
         L"1.05"},
    };
    for (const Case& c : cases) {
        HeaderFields h = ParseHeader(c.bytes);
        EXPECT_EQ(h.count, c.count) << c.description;
        EXPECT_EQ(h.shown.str(), c.shown) << c.description;
    }
}

TEST(SplitSourceLines, AcceptsCrLfAndLfRefusesBrokenFraming) {
    struct Case {
        std::string text;
        const char* description;
        std::vector<std::string> lines; // empty: refused
        const char* problem;
    } cases[] = {
        {"S0\r\nS1\r\n", "CR LF", {"S0", "S1"}, ""},
        {"S0\nS1\n", "LF", {"S0", "S1"}, ""},
        {"S0\r\nS1", "last line without an end", {"S0", "S1"}, ""},
        {"S0\nS1\r\n", "mixed", {"S0", "S1"}, ""},
        {"S0\r\n\r\nS1\r\n", "an empty line", {}, "line 2: empty line"},
        {"S0\n\n", "an empty last line", {}, "line 2: empty line"},
        {"S0\rS1\r\n", "a lone CR", {}, "line 1: a CR"},
        {"S0\r", "a lone CR at the end", {}, "line 1: a CR"},
        {std::string("S0\nS\0\n", 6), "a NUL", {}, "line 2: a NUL"},
        {"", "empty file", {}, "no lines"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        std::string problem;
        bool ok = SplitSourceLines(c.text, &lines, &problem);
        EXPECT_EQ(ok, !c.lines.empty()) << c.description << ": " << problem;
        if (ok) {
            EXPECT_EQ(lines, c.lines) << c.description;
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.description << problem;
        }
    }
}

TEST(CheckRecordLines, NamesTheLineOfEachFault) {
    const std::string data = "S1130000285F245F2212226A000424290008237C2A";
    const std::string data2 = "S1130010285F245F2212226A000424290008237C1A";
    const std::string end = "S9030000FC";
    struct Case {
        std::vector<std::string> lines;
        const char* description;
        size_t line; // 0: no problem expected ... or the whole text
        const char* problem;
    } cases[] = {
        {{"S00600004844521B", data, data2, "S5030002FA", end}, "sound firmware", SIZE_MAX, ""},
        {{data, "S1130000285F245F2212226A000424290008237C2B", end},
         "a checksum",
         2,
         "checksum 0x2B"},
        {{"S00600004844521B", "S1260100" + std::string(70, '0') + "D8", end},
         "80 characters after the first line: sent whole",
         SIZE_MAX,
         ""},
        {{"S1260100" + std::string(70, '0') + "D8", end},
         "80 characters as the first line",
         1,
         "80 characters; the download sends at most 78 of the first line"},
        {{data, "S1270100" + std::string(72, '0') + "D7", end},
         "82 characters",
         2,
         "82 characters; the download sends at most 80 of a line"},
        {{data, "", end}, "an empty line", 2, "empty line"},
        {{data, "S4030000FC", end}, "type S4", 2, "unknown record type"},
        {{data, end, data2}, "after the termination", 3, "after the termination record"},
        {{data, "S00600004844521B", end}, "S0 not first", 2, "S0 header record after"},
        {{data, "S5030005F7", end}, "a wrong count record", 2, "count record says 5"},
        {{data, data, end}, "a byte written twice", 2, "overlaps"},
        {{data, data2}, "no termination", 0, "no termination record"},
    };
    for (const Case& c : cases) {
        std::vector<LineProblem> problems;
        CheckRecordLines(c.lines, &problems);
        if (c.line == SIZE_MAX) {
            EXPECT_TRUE(problems.empty()) << c.description << ": " << problems[0].what;
            continue;
        }
        ASSERT_EQ(problems.size(), 1u) << c.description;
        EXPECT_EQ(problems[0].line, c.line) << c.description;
        EXPECT_NE(problems[0].what.find(c.problem), std::string::npos)
            << c.description << ": " << problems[0].what;
    }
}

TEST(CheckRecordLines, SummarisesTypesAndAddresses) {
    std::vector<std::string> lines = {"S00600004844521B", "S2080100000102030AE6",
                                      "S1130000285F245F2212226A000424290008237C2A", "S804000000FB"};
    std::vector<LineProblem> problems;
    RecordSummary s = CheckRecordLines(lines, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(s.typeCount[0], 1u);
    EXPECT_EQ(s.typeCount[1], 1u);
    EXPECT_EQ(s.typeCount[2], 1u);
    EXPECT_EQ(s.typeCount[8], 1u);
    EXPECT_TRUE(s.haveData);
    EXPECT_EQ(s.low, 0u);
    EXPECT_EQ(s.high, 0x010003u);
}

// Reads an image through the payload stream with the download's 256-byte line buffer.
std::vector<std::string> GetsLines(const Bytes& image) {
    static Bytes held;
    static uint32_t position;
    held = image;
    position = 0;
    ChunkSource source = [](unsigned char* buffer) {
        return payload_copy_chunk(held.data(), static_cast<uint32_t>(held.size()), &position,
                                  buffer);
    };
    std::vector<std::string> lines;
    EXPECT_EQ(payload_open(source, kPayloadChunkSize, kPayloadKeyText), 0);
    char buffer[kLineBufferSize];
    for (int n; (n = payload_gets(buffer, sizeof buffer)) >= 0;) {
        lines.push_back(n == 0 ? std::string() : std::string(buffer));
    }
    payload_close();
    return lines;
}

// DeviceLines predicts what inspect and verify count; it must agree with the real reader.
TEST(DeviceLines, AgreesWithTheStreamsLineReader) {
    struct Case {
        std::string text;
        const char* description;
        std::vector<std::string> lines;
    } cases[] = {
        {"S0\r\nS1\r\n", "two CR LF lines", {"S0", "S1"}},
        {"A\r\n\r\nB", "an empty line is swallowed; last line without end", {"A", "B"}},
        {"A\nB\rC\r\n", "lone LF and CR end lines too", {"A", "B", "C"}},
        {std::string(300, 'x') + "\r\n",
         "a long line in pieces",
         {std::string(255, 'x'), std::string(45, 'x')}},
        {std::string(255, 'y') + "\r\nZ\r\n",
         "exactly 255 characters",
         {std::string(255, 'y'), "Z"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DeviceLines(c.text), c.lines) << c.description;
        Bytes image;
        std::string problem;
        ASSERT_TRUE(SealPayload(c.text, &image, &problem)) << problem;
        // The reader stores nothing for a leading line end, so its count comes back empty.
        EXPECT_EQ(GetsLines(image), c.lines) << c.description;
    }
    EXPECT_TRUE(DeviceLines("").empty());
}

// Texts whose sizes fall at and around the window's multiples, and the chunk size.
TEST(SealPayload, StreamAndZlibReadBackEveryByte) {
    const std::string base = FirmwareText(3000);
    struct Case {
        size_t size;
        const char* description;
    } cases[] = {
        {12, "one short line"},        {32767, "one byte short of a window"},
        {32768, "exactly one window"}, {32769, "one byte past a window"},
        {65536, "two windows"},        {98304 + 1, "three windows and a byte"},
        {base.size(), "3000 records"},
    };
    // Stored blocks, the fallback, must read back as exactly as compressed ones.
    SealSettings stored;
    stored.level = 0;
    for (const Case& c : cases) {
        const std::string text = base.substr(0, c.size);
        Bytes images[2];
        std::string problem;
        ASSERT_TRUE(SealPayload(text, &images[0], &problem)) << c.description << problem;
        ASSERT_TRUE(SealPayloadWith(text, stored, &images[1], &problem)) << problem;
        EXPECT_LT(images[0].size(), images[1].size()) << c.description;
        for (const Bytes& image : images) {
            SCOPED_TRACE(&image == &images[0] ? "compressed" : "stored");
            EXPECT_EQ(image.size() % 8, 0u) << c.description;
            std::string decoded;
            StreamReport report;
            ASSERT_TRUE(DecodeThroughStream(image, &decoded, &report)) << c.description;
            EXPECT_TRUE(report.pauses.empty()) << c.description;
            EXPECT_TRUE(decoded == text) << c.description;
            GzipCheck check = UnsealWithZlib(image);
            EXPECT_TRUE(check.trailerOk) << c.description << ": " << check.problem;
            EXPECT_TRUE(check.text == text) << c.description;
            EXPECT_LE(image.size() - check.memberSize, 7u) << c.description;
            // zlib's gzip framing: magic, deflate, no flags, time 0.
            Bytes plain = image;
            PayloadCipher(&plain, VMOD_DES_DECRYPT);
            EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 8),
                      (Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0}))
                << c.description;
        }
    }
}

// The stream hands out text only when the inflater's window fills or the last block ends, so
// a block that ends short of a full window gives a pull with no text, and the download's line
// reader returns a line cut at that point. zlib with little memory makes small blocks.
TEST(SealPayload, BlocksEndingShortOfTheWindowMakeThePayloadPause) {
    std::string text = FirmwareText(2000);
    Bytes image;
    std::string problem;
    SealSettings small;
    small.alignBlocks = false;
    small.memLevel = 1;
    ASSERT_TRUE(SealPayloadWith(text, small, &image, &problem)) << problem;
    std::string decoded;
    StreamReport report;
    ASSERT_TRUE(DecodeThroughStream(image, &decoded, &report));
    EXPECT_EQ(decoded, text) << "the bytes all come, but with pauses between them";
    EXPECT_GE(report.pauses.size(), text.size() / 32768 - 1) << "a pause before every window";

    // Blocks of one window each do not pause.
    ASSERT_TRUE(SealPayload(text, &image, &problem)) << problem;
    ASSERT_TRUE(DecodeThroughStream(image, &decoded, &report));
    EXPECT_EQ(decoded, text);
    EXPECT_TRUE(report.pauses.empty());
}

// After the last block the inflater hands back the bytes it read ahead, and the stream cannot
// step back across a chunk boundary: the DEFLATE data ending on either side of one must still
// deliver the last window.
TEST(SealPayload, DataEndingAroundAChunkBoundaryReadsBack) {
    std::string text = FirmwareText(4000); // about 320 KiB of text, several chunks of image
    Bytes image;
    std::string problem;
    SealSettings settings;
    ASSERT_TRUE(SealPayloadWith(text, settings, &image, &problem));
    GzipCheck check = UnsealWithZlib(image);
    ASSERT_TRUE(check.trailerOk) << check.problem;
    const size_t dataEnd = check.memberSize - 8;
    const size_t boundary = (dataEnd / 65536 + 1) * 65536;
    for (size_t target = boundary - 3; target <= boundary + 2; target++) {
        settings.extraLength = static_cast<int>(target - dataEnd - 2);
        ASSERT_TRUE(SealPayloadWith(text, settings, &image, &problem));
        ASSERT_EQ(UnsealWithZlib(image).memberSize - 8, target);
        std::string decoded;
        StreamReport report;
        ASSERT_TRUE(DecodeThroughStream(image, &decoded, &report));
        EXPECT_EQ(decoded.size(), text.size()) << "data ending at " << target % 65536;
        EXPECT_TRUE(decoded == text) << "data ending at " << target % 65536;
    }
}

Bytes Sealed(const std::string& text) {
    Bytes image;
    std::string problem;
    EXPECT_TRUE(SealPayload(text, &image, &problem)) << problem;
    return image;
}

// One byte changed below the cipher: the header, the DEFLATE data, each trailer field.
TEST(UnsealWithZlib, NamesTheDamagedLayer) {
    const std::string text = FirmwareText(50);
    const Bytes good = Sealed(text);
    Bytes plain = good;
    PayloadCipher(&plain, VMOD_DES_DECRYPT);
    const size_t member = UnsealWithZlib(good).memberSize;
    struct Case {
        size_t offset; // in the decrypted member
        int change;    // added to the byte; 0 cuts the member at offset instead
        const char* description;
        const char* problem;
    } cases[] = {
        {0, 1, "the first magic byte", "magic bytes 20 8B"},
        {2, 1, "the method", "method 9"},
        {3, 0x40, "a reserved flag", "reserved flag"},
        {member - 8, 1, "the CRC-32", "CRC-32"},
        {member - 4, 1, "the size", "ISIZE"},
        {member - 3, 0, "a cut trailer", "trailer is missing"},
        {12, 0, "a cut DEFLATE stream", "ends inside the DEFLATE data"},
        {5, 0, "a cut header", "ends inside the gzip member header"},
    };
    for (const Case& c : cases) {
        Bytes bad = plain;
        if (c.change == 0) {
            bad.resize(c.offset);
        } else {
            bad[c.offset] = static_cast<unsigned char>(bad[c.offset] + c.change);
        }
        PayloadCipher(&bad, VMOD_DES_ENCRYPT);
        GzipCheck check = UnsealWithZlib(bad);
        EXPECT_FALSE(check.trailerOk) << c.description;
        EXPECT_NE(check.problem.find(c.problem), std::string::npos)
            << c.description << ": " << check.problem;
    }
}

TEST(DecodeThroughStream, ImagesTheStreamRefusesDoNotOpen) {
    struct Case {
        Bytes image;
        const char* description;
    } cases[] = {
        {Bytes(), "empty"},
        {Bytes(100, 0x5a), "garbage"},
        {Bytes(8, 0), "one block of zeros"},
    };
    for (const Case& c : cases) {
        std::string text;
        StreamReport report;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(DecodeThroughStream(c.image, &text, &report)) << c.description;
        std::string diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_NE(diagnostics.find("ziplib: "), std::string::npos) << c.description;
        EXPECT_FALSE(report.opened) << c.description;
    }
}

TEST(DecodeThroughStream, StopsAtTheLimit) {
    std::string text = FirmwareText(2000);
    std::string decoded;
    StreamReport report;
    ASSERT_TRUE(DecodeThroughStream(Sealed(text), &decoded, &report, 10000));
    EXPECT_TRUE(report.capped);
    EXPECT_LE(decoded.size(), 10000u);
    EXPECT_EQ(decoded, text.substr(0, decoded.size()));
}

// Damaged images of every kind end in an orderly way through both decoders.
TEST(DecodeThroughStream, DamagedImagesEndInOrder) {
    const Bytes good = Sealed(FirmwareText(3000));
    std::mt19937 random(7);
    for (int round = 0; round < 60; round++) {
        Bytes bad = good;
        int changes = 1 + round % 5;
        for (int i = 0; i < changes; i++) {
            bad[random() % bad.size()] ^= static_cast<unsigned char>(1 + random() % 255);
        }
        if (round % 7 == 0) {
            bad.resize(random() % bad.size());
        }
        std::string decoded;
        StreamReport report;
        testing::internal::CaptureStderr();
        DecodeThroughStream(bad, &decoded, &report);
        testing::internal::GetCapturedStderr();
        GzipCheck check = UnsealWithZlib(bad);
        EXPECT_FALSE(check.trailerOk && check.text != decoded) << "round " << round;
    }
}

} // namespace
