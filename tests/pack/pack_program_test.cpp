// vmod-pack as a program: firmware built into a package, loaded by the tool's own loader and
// read back through the payload stream as the download reads it; verify, inspect and decode
// on good and damaged packages; the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "download/update_engine.h"
#include "package/firmware_package.h"
#include "payload/payload_stream.h"
#include "tests/pack/pack_test_util.h"
#include "tools/pack/package_image.h"

namespace fs = std::filesystem;

namespace {

using namespace vmod_pack;
using pack_test::FirmwareText;
using pack_test::PayloadCipher;

struct Result {
    int status; // exit status; 128 + signal when the program was killed
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// The lines of a text, line ends (LF or CR LF) dropped.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string WithCrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

class PackProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device seed;
        m_work = fs::temp_directory_path() /
                 ("vmod-pack-test-" + std::to_string(seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_work);
        m_package = m_work / "root" / "Program Files" / "V-MOD VersionUp Tool";
    }
    void TearDown() override { fs::remove_all(m_work); }

    Result Run(const std::string& args) {
        fs::path out = m_work / "stdout", err = m_work / "stderr";
        std::string command = Quote(VMOD_PACK_PROGRAM) + " " + args + " >" + Quote(out) + " 2>" +
                              Quote(err) + " </dev/null";
        int raw = std::system(command.c_str());
        Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), ReadFile(out),
                 ReadFile(err)};
        // Under the sanitizers a fault ends the program with status 1 like a refusal does.
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << args << "\n" << r.err;
        EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << args << "\n" << r.err;
        return r;
    }

    // Firmware from srecord: a 32 KiB main image at 0x8000 and a 4 KiB boot block at 0, each
    // with a termination record. Skips the test where srec_cat is not installed.
    bool MakeSrecordFirmware() {
        if (std::strlen(VMOD_SREC_CAT) == 0) {
            return false;
        }
        std::string cat = Quote(VMOD_SREC_CAT);
        EXPECT_EQ(std::system((cat +
                               " -generate 0x8000 0x10000 -repeat-string "
                               "'KV615MQ main firmware 1.05 ' -o " +
                               Quote(m_work / "main.srec") + " -execution-start-address 0x8000")
                                  .c_str()),
                  0);
        EXPECT_EQ(std::system((cat + " -generate 0x0000 0x1000 -repeat-data 0x55 0xAA 0x00 -o " +
                               Quote(m_work / "boot.srec") + " -execution-start-address 0")
                                  .c_str()),
                  0);
        return true;
    }

    // Firmware made here: 6000 S3 records (470 KiB of text, several chunks of image).
    void MakeOwnFirmware(const char* lineEnd = "\r\n") {
        WriteFile(m_work / "main.srec", FirmwareText(6000, 0x08000000, lineEnd, 1));
        WriteFile(m_work / "boot.srec", FirmwareText(100, 0x00000000, lineEnd, 2));
    }

    Result BuildPackage(const std::string& version = "1.05") {
        return Run("build --main " + Quote(m_work / "main.srec") + " --boot " +
                   Quote(m_work / "boot.srec") + " --version " + Quote(version) +
                   " --boot-version 1.02 -o " + Quote(m_package));
    }

    fs::path m_work;
    fs::path m_package;
};

// What the download reads: the header's count minus one lines, each with the count
// payload_gets gives a CR LF line (its length + 1); nothing after them.
std::vector<std::string> DownloadLines(ChunkSource source, int32_t count) {
    std::vector<std::string> lines;
    EXPECT_EQ(payload_open(source, kPayloadChunkSize, kPayloadKeyText), 0);
    char buffer[kLineBufferSize];
    for (int32_t i = 0; i < count - 1; i++) {
        int n = payload_gets(buffer, sizeof buffer);
        if (n < 0) {
            ADD_FAILURE() << "the stream ends at line " << i + 1;
            break;
        }
        EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)) + 1) << "line " << i + 1;
        lines.push_back(buffer);
    }
    EXPECT_EQ(payload_gets(buffer, sizeof buffer), -1);
    payload_close();
    return lines;
}

// The whole road: source file -> build -> LoadPackage from a device root -> chunk sources ->
// payload stream -> the download's lines, equal to the source's lines.
void ExpectDownloadEqualsSource(const fs::path& work, const fs::path& root) {
    setenv("VMOD_ROOT", root.c_str(), 1);
    bool loaded = LoadPackage();
    unsetenv("VMOD_ROOT");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(g_firmwarePackage.mainVersionText.str(), L"1.05");
    EXPECT_EQ(g_firmwarePackage.bootVersionText.str(), L"1.02");

    std::vector<std::string> main = Lines(ReadFile(work / "main.srec"));
    std::vector<std::string> boot = Lines(ReadFile(work / "boot.srec"));
    EXPECT_EQ(g_firmwarePackage.mainLineCount, static_cast<int32_t>(main.size()) + 1);
    EXPECT_EQ(g_firmwarePackage.bootLineCount, static_cast<int32_t>(boot.size()) + 1);
    payload_read_offsets().bootReadOffset = 0;
    EXPECT_EQ(DownloadLines(boot_chunk_source, g_firmwarePackage.bootLineCount), boot);
    payload_read_offsets().mainReadOffset = 0;
    EXPECT_EQ(DownloadLines(main_chunk_source, g_firmwarePackage.mainLineCount), main);
    // The download's check on a thread that has read both images to their end (an earlier
    // update) still reads them whole, and leaves them to be read from the start.
    PackageCheckFault fault;
    EXPECT_EQ(CheckPackage(true, nullptr, nullptr, &fault), PayloadCheckResult::Sound)
        << fault.image;
    EXPECT_EQ(DownloadLines(main_chunk_source, g_firmwarePackage.mainLineCount), main);
}

TEST_F(PackProgram, SrecordFirmwareRoundTripsThroughLoaderAndStream) {
    if (!MakeSrecordFirmware()) {
        GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
    }
    Result built = BuildPackage();
    ASSERT_EQ(built.status, 0) << built.err;
    ExpectDownloadEqualsSource(m_work, m_work / "root");

    Result verified = Run("verify " + Quote(m_package));
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
    Result inspected = Run("inspect " + Quote(m_package));
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    for (const char* expected :
         {"main image\n", "  kv615mq.bin: 20 bytes\n", "  header line count: 1028\n",
          "  version field: \"825110581\", shown as \"1.05\"\n",
          "  decoded: 1027 lines, 77922 bytes of text\n",
          "  header count sends every line: yes (the download sends all 1027 lines)\n",
          "  record types: S0 x1 S1 x1024 S5 x1 S9 x1\n",
          "  data address range: 0x00008000-0x0000FFFF\n", "boot-block image\n",
          "  data address range: 0x00000000-0x00000FFF\n"}) {
        EXPECT_NE(inspected.out.find(expected), std::string::npos) << expected << inspected.out;
    }

    // srec_cat writes LF; decode hands out the package's CR LF text.
    for (const char* name : {"main", "boot"}) {
        Result decoded = Run(
            "decode " +
            Quote(m_package / (std::string("kv615mq") + (name[0] == 'b' ? "b" : "") + ".data")));
        EXPECT_EQ(decoded.status, 0) << decoded.err;
        EXPECT_EQ(decoded.out, WithCrLf(Lines(ReadFile(m_work / (std::string(name) + ".srec")))))
            << name;
    }
}

TEST_F(PackProgram, CrLfAndLfSourcesGiveTheSamePackageText) {
    for (const char* lineEnd : {"\r\n", "\n"}) {
        MakeOwnFirmware(lineEnd);
        Result built = BuildPackage();
        ASSERT_EQ(built.status, 0) << built.err;
        ExpectDownloadEqualsSource(m_work, m_work / "root");
        Result decoded = Run("decode " + Quote(m_package / "kv615mq.data"));
        EXPECT_EQ(decoded.status, 0);
        EXPECT_EQ(decoded.out, FirmwareText(6000, 0x08000000, "\r\n", 1))
            << "line end " << (lineEnd[0] == '\n' ? "LF" : "CR LF");
        EXPECT_EQ(Run("verify " + Quote(m_package)).status, 0);
    }
}

// decode writes what the stream hands out, also where that is less than the member holds;
// a stream that ends before its final block fails the command with one line saying where.
TEST_F(PackProgram, DecodeWritesExactlyWhatTheStreamHandsOut) {
    std::string text = FirmwareText(4000);
    Bytes image;
    std::string problem;
    SealSettings settings;
    settings.alignBlocks = false;
    settings.memLevel = 1; // small blocks: the stream pauses between them
    ASSERT_TRUE(SealPayloadWith(text, settings, &image, &problem));
    Bytes cut(image.begin(), image.begin() + static_cast<long>(image.size() * 2 / 3));
    for (const Bytes* bytes : {&image, &cut}) {
        WriteFile(m_work / "payload.data", std::string(bytes->begin(), bytes->end()));
        std::string expected;
        StreamReport report;
        ASSERT_TRUE(DecodeThroughStream(*bytes, &expected, &report));
        Result decoded = Run("decode " + Quote(m_work / "payload.data"));
        EXPECT_EQ(decoded.out.size(), expected.size());
        EXPECT_TRUE(decoded.out == expected);
        if (bytes == &image) {
            EXPECT_EQ(decoded.status, 0);
            EXPECT_EQ(decoded.err, "");
            continue;
        }
        EXPECT_EQ(decoded.status, 1);
        EXPECT_EQ(decoded.err,
                  "vmod-pack decode: " + (m_work / "payload.data").string() +
                      ": the text ends after " + std::to_string(expected.size()) + " bytes (" +
                      std::to_string(std::count(expected.begin(), expected.end(), '\n')) +
                      " lines): the stream ended before its final block\n");
    }
}

// Each case damages one byte of a built package; verify must refuse it and say where.
TEST_F(PackProgram, VerifyRefusesEveryOneByteDamage) {
    MakeOwnFirmware();
    ASSERT_EQ(BuildPackage().status, 0);
    const std::string pristine = ReadFile(m_package / "kv615mq.data");
    const std::string header = ReadFile(m_package / "kv615mq.bin");
    const size_t n = pristine.size();
    struct Case {
        const char* file;
        size_t offset;
        const char* description;
        const char* expected;
    } cases[] = {
        {"kv615mq.data", 0, "the gzip magic", "kv615mq.data: the payload stream cannot be opened"},
        {"kv615mq.data", 16, "the first DEFLATE bytes", "kv615mq.data"},
        {"kv615mq.data", n / 2, "inside the compressed data", "kv615mq.data"},
        {"kv615mq.data", n - 1, "the last block, holding the trailer", "kv615mq.data: gzip"},
        {"kv615mq.data", n - 12, "the block before the last", "kv615mq.data"},
        {"kv615mq.bin", 7, "the header's line count", "kv615mq.bin: line count"},
        {"kv615mq.bin", 8, "the header's version", "kv615mq.bin: version"},
    };
    for (const Case& c : cases) {
        std::string bytes = std::strcmp(c.file, "kv615mq.bin") == 0 ? header : pristine;
        bytes[c.offset] = static_cast<char>(bytes[c.offset] ^ 0x44);
        WriteFile(m_package / c.file, bytes);
        Result r = Run("verify " + Quote(m_package));
        EXPECT_EQ(r.status, 1) << c.description << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.description << "\n" << r.out;
        WriteFile(m_package / "kv615mq.data", pristine);
        WriteFile(m_package / "kv615mq.bin", header);
    }
    EXPECT_EQ(Run("verify " + Quote(m_package)).status, 0);
}

// A stored-block image changes exactly the 8 text bytes of a damaged cipher block, so the
// damage lands in a known line: verify names that line's checksum and the trailer's CRC.
TEST_F(PackProgram, VerifyNamesTheLineOfADamagedPayloadByte) {
    MakeOwnFirmware();
    ASSERT_EQ(BuildPackage().status, 0);
    const std::string text = FirmwareText(6000, 0x08000000, "\r\n", 1);
    Bytes image;
    std::string problem;
    SealSettings stored;
    stored.level = 0;
    ASSERT_TRUE(SealPayloadWith(text, stored, &image, &problem));
    // Stored blocks of 32768 bytes each carry a 5-byte block header; the first follows the
    // 10-byte member header.
    const size_t textOffset = 36 + 80 * 199 + 40; // line 1 is 36 bytes; inside line 201's data
    const size_t imageOffset = 10 + 5 + textOffset;
    image[imageOffset] ^= 0x01;
    WriteFile(m_package / "kv615mq.data", std::string(image.begin(), image.end()));
    Result r = Run("verify " + Quote(m_package));
    EXPECT_EQ(r.status, 1);
    const std::string file = (m_package / "kv615mq.data").string();
    EXPECT_NE(r.out.find(file + ": gzip trailer: CRC-32"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(file + ":201: "), std::string::npos) << r.out;
}

// Texts that build would never make, sealed directly: verify names each line.
TEST_F(PackProgram, VerifyNamesFileAndLineOfEachTextProblem) {
    MakeOwnFirmware();
    ASSERT_EQ(BuildPackage().status, 0);
    const std::string good = "S9030000FC";
    const std::string data = "S1130000285F245F2212226A000424290008237C2A";
    struct Case {
        std::string text;
        const char* description;
        const char* expected;
    } cases[] = {
        {"S00600004844521B\r\n" + data + "\r\nS9030000FD\r\n", "an S-record checksum",
         "kv615mq.data:3: checksum 0xFD, the record needs 0xFC"},
        {good + "\r\n" + good + "\n", "LF alone", "kv615mq.data:2: ends in LF without CR"},
        {data + "\r\n" + good, "no line end", "kv615mq.data:2: the last line has no line end"},
        {"S1260100" + std::string(70, '0') + "D8\r\n" + good + "\r\n", "a long line",
         "kv615mq.data:1: 80 characters"},
        {good + "\r\n" + data + "\r\n", "after termination",
         "kv615mq.data:2: record after the termination record"},
        {data + "\r\n\r\n" + good + "\r\n", "an empty line", "kv615mq.data:2: empty line"},
        {data + "\r\n", "no termination record", "kv615mq.data: no termination record"},
    };
    for (const Case& c : cases) {
        Bytes image;
        std::string problem;
        ASSERT_TRUE(SealPayload(c.text, &image, &problem)) << problem;
        WriteFile(m_package / "kv615mq.data", std::string(image.begin(), image.end()));
        Result r = Run("verify " + Quote(m_package));
        EXPECT_EQ(r.status, 1) << c.description;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.description << "\n" << r.out;
    }
}

// A package sealed with blocks ending anywhere: the download would cut lines.
TEST_F(PackProgram, VerifyNamesLinesTheStreamWouldCut) {
    MakeOwnFirmware();
    ASSERT_EQ(BuildPackage().status, 0);
    std::string text = FirmwareText(6000, 0x08000000, "\r\n", 1);
    Bytes image;
    std::string problem;
    SealSettings small;
    small.alignBlocks = false;
    small.memLevel = 1;
    ASSERT_TRUE(SealPayloadWith(text, small, &image, &problem));
    WriteFile(m_package / "kv615mq.data", std::string(image.begin(), image.end()));
    std::string decoded;
    StreamReport report;
    ASSERT_TRUE(DecodeThroughStream(image, &decoded, &report));
    ASSERT_FALSE(report.pauses.empty());
    Result r = Run("verify " + Quote(m_package));
    EXPECT_EQ(r.status, 1);
    // The first line is 36 bytes with its CR LF, the others 80. Small blocks deliver nothing
    // before the first window (the download reads again there, which is harmless); the pauses
    // between windows fall inside lines.
    EXPECT_EQ(report.pauses.front(), 0u);
    EXPECT_EQ(r.out.find("kv615mq.data:1: "), std::string::npos) << r.out;
    for (size_t i = 1; i < report.pauses.size(); i++) {
        size_t at = report.pauses[i];
        ASSERT_GE(at, 36u);
        size_t line = (at - 36) / 80 + 2;
        size_t column = (at - 36) % 80;
        EXPECT_NE(r.out.find("kv615mq.data:" + std::to_string(line) +
                             ": the payload stream pauses inside this line (after " +
                             std::to_string(column) + " characters)"),
                  std::string::npos)
            << at << "\n"
            << r.out;
    }
}

TEST_F(PackProgram, UnpackableVersionTextsAreRefused) {
    MakeOwnFirmware();
    struct Case {
        const char* version;
        const char* expected;
    } cases[] = {
        {"", "--version: the version text is empty"},
        {"1.050", "--version: the version text \"1.050\" has more than 4 characters"},
        {"1\t0", "--version: the version text may hold printable ASCII"},
        {"\xc3\xa9", "--version: the version text may hold printable ASCII"},
        {"abc", "--version: \"abc\" does not read as a number"},
        {"0.0", "--version: \"0.0\" does not read as a number"},
    };
    for (const Case& c : cases) {
        Result r = BuildPackage(c.version);
        EXPECT_EQ(r.status, 1) << c.version;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.version << ": " << r.err;
        EXPECT_FALSE(fs::exists(m_package)) << c.version;
    }
    Result boot = Run("build --main " + Quote(m_work / "main.srec") + " --boot " +
                      Quote(m_work / "boot.srec") + " --version 1.05 --boot-version 12345 -o " +
                      Quote(m_package));
    EXPECT_EQ(boot.status, 1);
    EXPECT_NE(boot.err.find("--boot-version: "), std::string::npos) << boot.err;
}

TEST_F(PackProgram, BuildNamesTheLineTheDownloadCannotSend) {
    const std::string end = "S9030000FC";
    struct Case {
        std::string text;
        const char* description;
        const char* message;
    } cases[] = {
        {end + "\r\n\r\n" + end + "\r\n", "an empty line", "main.srec: line 2: empty line"},
        {"S1260100" + std::string(70, '0') + "D8\n" + end + "\n", "a line of 80 characters",
         "main.srec:1: 80 characters"},
        {"hello\n" + end + "\n", "not an S-record", "main.srec:1: not an S-record"},
        {"S1130000285F245F2212226A000424290008237C2B\n" + end + "\n", "a checksum",
         "main.srec:1: checksum"},
        {"S1130000285F245F2212226A000424290008237C2A\n", "no termination record",
         "main.srec: no termination record"},
        {"", "an empty file", "main.srec: the file holds no lines"},
    };
    for (const Case& c : cases) {
        WriteFile(m_work / "main.srec", c.text);
        WriteFile(m_work / "boot.srec", end + "\n");
        Result r = BuildPackage();
        EXPECT_EQ(r.status, 1) << c.description;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.description << ": " << r.err;
        EXPECT_FALSE(fs::exists(m_package)) << c.description;
    }
    Result missing =
        Run("build --main /nonexistent --boot /nonexistent --version 1.05 -o " + Quote(m_package));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent: no such file"), std::string::npos);
}

TEST_F(PackProgram, DecodeOfWhatTheStreamRefusesExitsNonZero) {
    std::string garbage;
    for (int i = 0; i < 70000; i++)
        garbage += static_cast<char>((i * 2654435761u) >> 24);
    struct Case {
        std::string bytes;
        const char* description;
    } cases[] = {
        {garbage, "random bytes over two chunks"},
        {"", "an empty file"},
        {std::string(8, '\0'), "one block of zeros"},
    };
    for (const Case& c : cases) {
        WriteFile(m_work / "payload.data", c.bytes);
        Result r = Run("decode " + Quote(m_work / "payload.data"));
        EXPECT_EQ(r.status, 1) << c.description;
        EXPECT_NE(r.err.find("ziplib: "), std::string::npos) << c.description << ": " << r.err;
        EXPECT_NE(r.err.find("the payload stream cannot be opened"), std::string::npos)
            << c.description;
        EXPECT_TRUE(r.out.empty()) << c.description;
    }
    EXPECT_EQ(Run("decode " + Quote(m_work / "absent.data")).status, 1);
    EXPECT_EQ(Run("decode " + Quote(m_work)).status, 1);
}

TEST_F(PackProgram, InspectAndVerifyOfMissingOrEmptyFolders) {
    fs::create_directories(m_package);
    Result inspected = Run("inspect " + Quote(m_package));
    EXPECT_EQ(inspected.status, 1);
    EXPECT_NE(inspected.out.find("kv615mq.data: missing"), std::string::npos) << inspected.out;
    Result verified = Run("verify " + Quote(m_package));
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.out.find("kv615mqb.bin: missing"), std::string::npos) << verified.out;
    EXPECT_EQ(Run("verify " + Quote(m_work / "nowhere")).status, 1);
    EXPECT_EQ(Run("inspect " + Quote(m_work / "nowhere")).status, 1);
}

// Random damage of every file of a package: the program always ends with 0 or 1.
TEST_F(PackProgram, NeverCrashesOnDamagedPackages) {
    MakeOwnFirmware();
    ASSERT_EQ(BuildPackage().status, 0);
    std::mt19937 random(11);
    const char* files[] = {"kv615mq.data", "kv615mqb.data", "kv615mq.bin", "kv615mqb.bin"};
    std::string pristine[4];
    for (int f = 0; f < 4; f++)
        pristine[f] = ReadFile(m_package / files[f]);
    for (int round = 0; round < 12; round++) {
        for (int f = 0; f < 4; f++) {
            std::string bytes = pristine[f];
            if (round % 3 == 2) {
                bytes.resize(random() % (bytes.size() + 1));
            }
            for (int i = 0; i < round && !bytes.empty(); i++) {
                bytes[random() % bytes.size()] = static_cast<char>(random());
            }
            WriteFile(m_package / files[f], bytes);
        }
        for (const char* command : {"verify ", "inspect "}) {
            Result r = Run(command + Quote(m_package));
            EXPECT_LE(r.status, 1) << command << "round " << round << r.err;
        }
        Result r = Run("decode " + Quote(m_package / "kv615mq.data"));
        EXPECT_LE(r.status, 1) << "decode, round " << round << r.err;
    }
}

TEST_F(PackProgram, EveryCommandHasHelpAndRefusesBadUse) {
    for (const char* command : {"", "build ", "decode ", "inspect ", "verify "}) {
        Result help = Run(std::string(command) + "--help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("usage: vmod-pack " + std::string(command)), std::string::npos)
            << command;
    }
    // Each refusal names the command and what is wrong with its line, then shows its usage.
    struct Case {
        const char* args;
        const char* named;
    } cases[] = {
        {"", "usage: vmod-pack COMMAND"},
        {"frobnicate", "vmod-pack: unknown command frobnicate"},
        {"build --main", "vmod-pack build: --main"},
        {"build --bogus x", "vmod-pack build: unknown argument --bogus"},
        {"build --main a --boot b -o c", "vmod-pack build: --version"},
        {"decode", "vmod-pack decode: FILE"},
        {"decode a b", "vmod-pack decode: unknown argument b"},
        {"inspect", "vmod-pack inspect: DIR"},
        {"verify a b", "vmod-pack verify: unknown argument b"},
    };
    for (const Case& c : cases) {
        Result r = Run(c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << c.args;
    }
}

} // namespace
