// The public DEFLATE and gzip conformance streams. Where zlib accepts a stream our output
// equals zlib's; where it rejects one ours still ends in order. Streams our header reader
// refuses by its own rules (a header CRC flag) are expected to be refused.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "decode_support.h"
#include "payload/ziplib.h"

using namespace decode_test;

namespace {

struct Row {
    std::string file;
    std::string kind;
    std::string zlib;     // verdict: ok, ok+..., ok(2 members), error:..., truncated
    std::string zlib_out; // length:first 8 bytes of SHA-256, hex
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << r.file;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string x;
    while (std::getline(ss, x, '\t')) {
        f.push_back(x);
    }
    return f;
}

std::vector<Row> LoadRows() {
    std::vector<Row> rows;
    std::ifstream in(std::string(VMOD_TESTDATA_DIR) + "/deflate/results.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f = Split(line);
        if (f.size() >= 4) {
            rows.push_back({f[0], f[1], f[2], f[3]});
        }
    }
    return rows;
}

Bytes ReadFile(const std::string& name) {
    std::ifstream in(std::string(VMOD_TESTDATA_DIR) + "/deflate/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Digest(const Bytes& b) {
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(b.data(), b.size(), md);
    return std::to_string(b.size()) + ":" + Hex(Bytes(md, md + 8));
}

// zlib's decoding of the first gzip member only.
Bytes ZlibFirstMember(const Bytes& gz) {
    z_stream s{};
    inflateInit2(&s, 31);
    Bytes out(1 << 20);
    s.next_in = const_cast<Bytef*>(gz.data());
    s.avail_in = static_cast<uInt>(gz.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

class Conformance : public ::testing::TestWithParam<Row> {};

TEST_P(Conformance, AgreesWithZlibWhereItAccepts) {
    const Row& row = GetParam();
    Bytes input = ReadFile(row.file);
    MemoryStream m(input);
    m.Attach();
    ::testing::internal::CaptureStderr();
    int header = row.kind == "gzip" ? ziplib_read_header() : 0;
    int result = header == 0 ? m.PullAll() : -1;
    ::testing::internal::GetCapturedStderr();

    bool zlib_ok = row.zlib.rfind("ok", 0) == 0;
    bool header_crc = row.kind == "gzip" && input.size() > 3 && (input[3] & 0x02);
    if (header_crc) {
        EXPECT_EQ(header, -1) << "a header CRC flag is refused";
        return;
    }
    // Every stream ends: a nonzero step result within the step budget.
    if (header == 0) {
        EXPECT_NE(result, 0);
    }
    if (!zlib_ok) {
        return;
    }
    ASSERT_EQ(header, 0);
    EXPECT_EQ(result, 1);
    if (row.zlib == "ok(2 members)") {
        EXPECT_EQ(m.output, ZlibFirstMember(input)) << "one member is decoded";
    } else {
        EXPECT_EQ(Digest(m.output), row.zlib_out);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Conformance, ::testing::ValuesIn(LoadRows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string n = info.param.file;
                             for (char& ch : n) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return n;
                         });

} // namespace
