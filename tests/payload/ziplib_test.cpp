// The gzip member header reader: accepted headers, each rejection with its exact line, and
// whole members through header and pulls.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "decode_support.h"
#include "payload/ziplib.h"

using namespace decode_test;

namespace {

struct HeaderCase {
    const char* description;
    Bytes input;
    int result;
    const char* diagnostics;
    size_t consumed; // bytes read when accepted
};

std::ostream& operator<<(std::ostream& os, const HeaderCase& c) {
    return os << c.description;
}

Bytes Header(uint8_t flags, Bytes rest = {}) {
    Bytes h;
    h.reserve(10 + rest.size());
    for (uint8_t b : {uint8_t{0x1F}, uint8_t{0x8B}, uint8_t{8}, flags, uint8_t{1}, uint8_t{2},
                      uint8_t{3}, uint8_t{4}, uint8_t{0}, uint8_t{3}}) {
        h.push_back(b);
    }
    for (uint8_t b : rest) {
        h.push_back(b);
    }
    return h;
}

std::vector<HeaderCase> HeaderCases() {
    return {
        {"plain header", Header(0), 0, "", 10},
        {"ID2 0x9E read like 0x8B", {0x1F, 0x9E, 8, 0, 0, 0, 0, 0, 0, 0}, 0, "", 10},
        {"FTEXT ignored", Header(0x01), 0, "", 10},
        {"FEXTRA with XLEN 0", Header(0x04, {0, 0}), 0, "", 12},
        {"FEXTRA skips XLEN bytes", Header(0x04, {3, 0, 0, 0, 0}), 0, "", 15},
        {"FEXTRA of 300 bytes",
         [] {
             Bytes x = {0x2C, 0x01};
             x.resize(302, 0);
             return Header(0x04, x);
         }(),
         0, "", 312},
        {"FNAME and FCOMMENT skipped", Header(0x18, {'a', 'b', 0, 'c', 0}), 0, "", 15},
        {"all optional fields", Header(0x1D, {1, 0, 9, 'n', 0, 0}), 0, "", 16},
        {"zip archive magic",
         {0x50, 0x4B, 3, 4},
         -1,
         "ziplib: unsupport file format MAGIC: 0x50:0x4b\n",
         0},
        {"empty input", {}, -1, "ziplib: unsupport file format MAGIC: 0xffffffff:0xffffffff\n", 0},
        {"one byte", {0x1F}, -1, "ziplib: unsupport file format MAGIC: 0x1f:0xffffffff\n", 0},
        {"high magic bytes print as signed chars",
         {0x8B, 0x1F},
         -1,
         "ziplib: unsupport file format MAGIC: 0xffffff8b:0x1f\n",
         0},
        {"ID2 0x8C",
         {0x1F, 0x8C, 8},
         -1,
         "ziplib: unsupport file format MAGIC: 0x1f:0xffffff8c\n",
         0},
        {"zero magic prints without prefix",
         {0, 0},
         -1,
         "ziplib: unsupport file format MAGIC: 0:0\n",
         0},
        {"method 7", {0x1F, 0x8B, 7, 0}, -1, "ziplib: unsupport method 7\n", 0},
        {"method 255", {0x1F, 0x8B, 255, 0}, -1, "ziplib: unsupport method 255\n", 0},
        {"input ends before the method", {0x1F, 0x8B}, -1, "ziplib: unsupport method -1\n", 0},
        {"FLG 0x20", Header(0x20), -1, "ziplib: encrypted ZIP is not supported.\n", 0},
        {"FLG 0x22 reports encryption only", Header(0x22), -1,
         "ziplib: encrypted ZIP is not supported.\n", 0},
        {"FLG 0xE0 reports encryption only", Header(0xE0), -1,
         "ziplib: encrypted ZIP is not supported.\n", 0},
        {"FLG 0x02 (header CRC) refused as multi-part", Header(0x02), -1,
         "ziplib: multi-part ZIP is not supported.\n", 0},
        {"FLG 0x82 reports multi-part only", Header(0x82), -1,
         "ziplib: multi-part ZIP is not supported.\n", 0},
        {"FLG 0x41", Header(0x41), -1, "ziplib: unsupported flags 0x41\n", 0},
        {"FLG 0x80", Header(0x80), -1, "ziplib: unsupported flags 0x80\n", 0},
        {"FLG 0xDD", Header(0xDD), -1, "ziplib: unsupported flags 0xdd\n", 0},
        {"input ends before the flags",
         {0x1F, 0x8B, 8},
         -1,
         "ziplib: unexpected end of ZIP header\n",
         0},
        {"input ends in MTIME",
         {0x1F, 0x8B, 8, 0, 1, 2},
         -1,
         "ziplib: unexpected end of ZIP header\n",
         0},
        {"input ends in XLEN", Header(0x04, {5}), -1, "ziplib: unexpected end of ZIP header\n", 0},
        {"input ends in the extra field", Header(0x04, {5, 0, 1, 2}), -1,
         "ziplib: unexpected end of ZIP header\n", 0},
        {"input ends in the file name", Header(0x08, {'n', 'a', 'm', 'e'}), -1,
         "ziplib: unexpected end of ZIP header\n", 0},
        {"input ends in the comment", Header(0x18, {'n', 0, 'c', 'o'}), -1,
         "ziplib: unexpected end of ZIP header\n", 0},
        {"input ends right after FNAME's flag", Header(0x08), -1,
         "ziplib: unexpected end of ZIP header\n", 0},
    };
}

class ZiplibHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ZiplibHeader, ResultDiagnosticAndConsumption) {
    const HeaderCase& c = GetParam();
    Bytes input = c.input;
    input.push_back(0x03); // the first DEFLATE byte, never read by the header reader
    input.push_back(0x00);
    if (c.result != 0) {
        input = c.input;
    }
    MemoryStream m(input);
    m.Attach();
    ::testing::internal::CaptureStderr();
    int r = ziplib_read_header();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(err, c.diagnostics);
    if (c.result == 0) {
        EXPECT_EQ(m.pos, c.consumed);
        EXPECT_EQ(m.ops.bytes_in, static_cast<int32_t>(c.consumed));
    }
    // The end of the input is met at most once more than the bytes there are, never in a loop.
    EXPECT_LE(m.next_calls_past_end, 2);
}

INSTANTIATE_TEST_SUITE_P(Rows, ZiplibHeader, ::testing::ValuesIn(HeaderCases()),
                         [](const ::testing::TestParamInfo<HeaderCase>& info) {
                             return "case_" + std::to_string(info.index);
                         });

TEST(Ziplib, AttachResetsCountersAndStartsANewStream) {
    Bytes data = SrecText(5000, 61);
    Bytes member = GzipWrap(ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15), data);
    for (int round = 0; round < 2; round++) {
        MemoryStream m(member);
        m.ops.bytes_in = 77;
        m.ops.bytes_out = 88;
        m.Attach();
        EXPECT_EQ(m.ops.bytes_in, 0);
        EXPECT_EQ(m.ops.bytes_out, 0);
        EXPECT_EQ(ziplib_ops(), &m.ops);
        ASSERT_EQ(ziplib_read_header(), 0);
        EXPECT_EQ(m.PullAll(), 1);
        EXPECT_EQ(m.output, data);
        // The trailer is left unread.
        EXPECT_EQ(m.pos, member.size() - 8);
    }
}

struct MemberCase {
    const char* description;
    std::function<Bytes(const Bytes& data, const Bytes& raw)> member;
};

// The trailer is never checked: a wrong CRC-32, a wrong size or no trailer at all decode the
// same text.
TEST(Ziplib, TrailerIsNeverChecked) {
    Bytes data = SrecText(70000, 62);
    Bytes raw = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15);
    std::vector<MemberCase> cases = {
        {"correct trailer", [](const Bytes& d, const Bytes& r) { return GzipWrap(r, d); }},
        {"wrong CRC-32",
         [](const Bytes& d, const Bytes& r) {
             Bytes g = GzipWrap(r, d);
             g[g.size() - 8] ^= 0xFF;
             return g;
         }},
        {"wrong size",
         [](const Bytes& d, const Bytes& r) {
             Bytes g = GzipWrap(r, d);
             g[g.size() - 1] ^= 0x10;
             return g;
         }},
        {"no trailer",
         [](const Bytes& d, const Bytes& r) {
             Bytes g = GzipWrap(r, d);
             g.resize(g.size() - 8);
             return g;
         }},
        {"zlib's own gzip member",
         [](const Bytes& d, const Bytes&) {
             return ZlibDeflate(d, 6, Z_DEFAULT_STRATEGY, 15 + 16);
         }},
    };
    for (const MemberCase& c : cases) {
        MemoryStream m(c.member(data, raw));
        m.Attach();
        ASSERT_EQ(ziplib_read_header(), 0) << c.description;
        EXPECT_EQ(m.PullAll(), 1) << c.description;
        EXPECT_EQ(m.output, data) << c.description;
    }
}

TEST(Ziplib, EmptyMember) {
    Bytes member = ZlibDeflate({}, 9, Z_DEFAULT_STRATEGY, 15 + 16);
    MemoryStream m(member);
    m.Attach();
    ASSERT_EQ(ziplib_read_header(), 0);
    EXPECT_EQ(m.PullAll(), 1);
    EXPECT_TRUE(m.output.empty());
    EXPECT_EQ(m.results.size(), 1u);
}

} // namespace
