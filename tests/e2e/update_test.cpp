// The whole update in real time with the built programs: firmware made by srecord, a package
// made by vmod-pack, kv615mq-sim on a pseudo-terminal as COM3 and vmod-versionup under Xvfb,
// driven by scripts/sim-update (which presses Start and dismisses the completion box). The
// module's programmed images are compared byte for byte with srecord's own binary of the
// firmware, and the module's log shows every line in order and the download's pauses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Pauses of the line loop, as the module sees them between the arrival of two lines.
constexpr double kPrefixChangePauseMs = 1600; // before the line after one that changed prefix
constexpr double kTerminationPauseMs = 1000;  // before an S7 line
constexpr size_t kPrefixLength = 8;

struct LoggedLine {
    double ms;
    std::string text;
    std::string verdict; // "ok", or the fault the module found
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

// The lines of one image ("boot" or "main") in the module's log, in arrival order:
//   "    5665.216 line    main 1 \"S022...\" ok"
std::vector<LoggedLine> LinesOf(const fs::path& log, const std::string& image) {
    std::vector<LoggedLine> lines;
    std::ifstream in(log);
    for (std::string row; std::getline(in, row);) {
        std::istringstream fields(row);
        LoggedLine line{};
        std::string kind, which;
        long number = 0;
        if (!(fields >> line.ms >> kind >> which >> number) || kind != "line" || which != image)
            continue;
        size_t open = row.find('"');
        size_t close = row.rfind('"');
        if (open == std::string::npos || close <= open)
            continue;
        line.text = row.substr(open + 1, close - open - 1);
        line.verdict = row.substr(close + 1);
        line.verdict.erase(0, line.verdict.find_first_not_of(' '));
        lines.push_back(line);
    }
    return lines;
}

// The pause each line is due before it, from the texts alone: 1600 ms before a line whose
// predecessor changed the 8-character prefix (from the third line on, the first block
// counting as the second line's predecessor); 1000 ms more before an S7 line. Both follow
// the predecessor's "." (sent after the module logged it), so the logged gap is at least the
// pause. (The first block's wait runs from its write, before the module has read it all, so
// the log cannot bound it.)
std::vector<double> DuePauses(const std::vector<LoggedLine>& lines) {
    std::vector<double> due(lines.size(), 0);
    for (size_t k = 1; k < lines.size(); ++k) {
        if (k >= 2 &&
            lines[k - 1].text.compare(0, kPrefixLength, lines[k - 2].text, 0, kPrefixLength) != 0)
            due[k] += kPrefixChangePauseMs;
        if (lines[k].text.rfind("S7", 0) == 0)
            due[k] += kTerminationPauseMs;
    }
    return due;
}

std::string Quoted(const fs::path& path) {
    return std::string("'").append(path.string()).append("'");
}

int RunShell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The programs the end-to-end runs need besides the built ones, as a skip reason; empty when
// all are there.
std::string MissingPrograms() {
    std::string missing;
    const std::pair<const char*, const char*> needed[] = {
        {"Xvfb (package xvfb)", VMOD_XVFB},
        {"xdotool (package xdotool)", VMOD_XDOTOOL},
        {"srec_cat (package srecord)", VMOD_SREC_CAT}};
    for (const auto& [what, path] : needed)
        if (std::string(path).empty() || !fs::exists(path))
            missing += std::string(missing.empty() ? "" : ", ") + what;
    return missing.empty()
               ? ""
               : "the end-to-end update needs " + missing + " (scripts/deps installs them)";
}

// Firmware as srecord writes it: S3 records of 32 data bytes (78 characters, the most the
// first block holds), S5 count, S7 start address.
void MakeFirmware(const fs::path& srec, const fs::path& bin, unsigned from, unsigned to,
                  const char* text) {
    char range[64];
    std::snprintf(range, sizeof range, "0x%X 0x%X", from, to);
    char start[32];
    std::snprintf(start, sizeof start, "0x%X", from);
    std::string srec_cat = VMOD_SREC_CAT;
    ASSERT_EQ(RunShell(srec_cat + " -generate " + range + " -repeat-string '" + text +
                       "' -execution-start-address " + start + " -output " + Quoted(srec) +
                       " -address-length=4 -output-block-size=32"),
              0);
    char offset[32];
    std::snprintf(offset, sizeof offset, "-0x%X", from);
    // The module writes its image from its lowest address on: so does this binary.
    ASSERT_EQ(RunShell(srec_cat + " " + Quoted(srec) + " -offset " + offset + " -output " +
                       Quoted(bin) + " -binary"),
              0);
}

struct UpdateCase {
    const char* name;
    const char* description;
    const char* moduleBoot; // the module's boot-block version
    bool bootPass;          // whether the tool must send the boot block first
};

const UpdateCase kUpdateCases[] = {
    {"BootBlock101",
     "boot block 1.01, below 1.02: the boot block first, a reset, then the main image", "1.01",
     true},
    {"BootBlock102", "boot block 1.02, the threshold itself: only the main image", "1.02", false},
};

void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.description;
}

class EndToEndUpdate : public ::testing::TestWithParam<UpdateCase> {
  protected:
    void SetUp() override {
        if (std::string missing = MissingPrograms(); !missing.empty())
            GTEST_SKIP() << missing;
        std::random_device seed;
        work_ = fs::temp_directory_path() /
                ("vmod-e2e-" + std::string(GetParam().name) + "-" + std::to_string(seed()));
        fs::remove_all(work_);
        fs::create_directories(work_ / "run");
    }
    void TearDown() override {
        if (!work_.empty() && !HasFailure())
            fs::remove_all(work_);
    }

    void ExpectLinesInOrder(const std::string& image, const fs::path& firmware) {
        std::vector<std::string> expected = ReadLines(firmware);
        std::vector<LoggedLine> got = LinesOf(work_ / "run" / "module.log", image);
        ASSERT_EQ(got.size(), expected.size()) << image << " lines the module received";
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].text, expected[k]) << image << " line " << k + 1;
            EXPECT_EQ(got[k].verdict, "ok") << image << " line " << k + 1;
        }
    }

    // minimumPrefixPauses: the prefix changes the firmware was made with.
    void ExpectPauses(const std::string& image, int minimumPrefixPauses) {
        std::vector<LoggedLine> lines = LinesOf(work_ / "run" / "module.log", image);
        std::vector<double> due = DuePauses(lines);
        int prefixPauses = 0, terminationPauses = 0;
        for (size_t k = 1; k < lines.size(); ++k) {
            if (due[k] >= kPrefixChangePauseMs)
                ++prefixPauses;
            if (lines[k].text.rfind("S7", 0) == 0)
                ++terminationPauses;
            EXPECT_GE(lines[k].ms - lines[k - 1].ms, due[k])
                << image << " line " << k + 1 << " (" << lines[k].text.substr(0, kPrefixLength)
                << " after " << lines[k - 1].text.substr(0, kPrefixLength) << ")";
        }
        EXPECT_GE(prefixPauses, minimumPrefixPauses) << image;
        EXPECT_EQ(terminationPauses, 1) << image;
    }

    fs::path work_;
};

TEST_P(EndToEndUpdate, ProgrammedImagesEqualTheFirmwareWithThePausesInTheLog) {
    const UpdateCase& c = GetParam();
    SCOPED_TRACE(c.description);
    const fs::path main = work_ / "main.srec", boot = work_ / "boot.srec";
    // The main image crosses 0x10000, where the records' 8-character prefix changes.
    ASSERT_NO_FATAL_FAILURE(MakeFirmware(main, work_ / "main.bin", 0xF000, 0x11000,
                                         "KV615MQ main firmware end to end "));
    ASSERT_NO_FATAL_FAILURE(
        MakeFirmware(boot, work_ / "boot.bin", 0x0, 0x800, "KV615MQ boot block end to end "));

    const fs::path output = work_ / "sim-update.txt";
    int status =
        RunShell(std::string("sh ") + VMOD_SIM_UPDATE + " --bin " + Quoted(VMOD_BUILD_DIR) +
                 " --work " + Quoted(work_ / "run") + " --main " + Quoted(main) + " --boot " +
                 Quoted(boot) + " --module-boot " + c.moduleBoot + " >" + Quoted(output) + " 2>&1");
    ASSERT_EQ(status, 0) << ReadFile(output);
    EXPECT_TRUE(fs::exists(work_ / "run" / "root" / "reboot-requested"));

    EXPECT_EQ(ReadFile(work_ / "run" / "programmed-main.bin"), ReadFile(work_ / "main.bin"));
    ExpectLinesInOrder("main", main);
    // Prefix changes: S0 to S3, the 64 KiB boundary, S3 to S5.
    ExpectPauses("main", 3);
    if (c.bootPass) {
        EXPECT_EQ(ReadFile(work_ / "run" / "programmed-boot.bin"), ReadFile(work_ / "boot.bin"));
        ExpectLinesInOrder("boot", boot);
        ExpectPauses("boot", 2); // S0 to S3, S3 to S5
    } else {
        EXPECT_TRUE(LinesOf(work_ / "run" / "module.log", "boot").empty());
        EXPECT_EQ(ReadFile(work_ / "run" / "module.log").find("!!dOWNLOADBOOT"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Module, EndToEndUpdate, ::testing::ValuesIn(kUpdateCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A package damaged late in its main payload, one byte changed near the end of kv615mq.data
// after vmod-pack built it: Start is answered with the damaged-package box before the module
// hears a download command or a line, and the tool stays up for Exit.
TEST(EndToEndRefusal, PayloadDamagedLateIsRefusedBeforeTheModuleHearsAnything) {
    if (std::string missing = MissingPrograms(); !missing.empty())
        GTEST_SKIP() << missing;
    std::random_device seed;
    const fs::path work =
        fs::temp_directory_path() / ("vmod-e2e-refusal-" + std::to_string(seed()));
    const fs::path package = work / "package";
    fs::create_directories(work);
    const fs::path main = work / "main.srec", boot = work / "boot.srec";
    ASSERT_NO_FATAL_FAILURE(MakeFirmware(main, work / "main.bin", 0xF000, 0x11000,
                                         "KV615MQ main firmware end to end "));
    ASSERT_NO_FATAL_FAILURE(
        MakeFirmware(boot, work / "boot.bin", 0x0, 0x800, "KV615MQ boot block end to end "));
    const std::string pack = std::string(VMOD_BUILD_DIR) + "/tools/pack/vmod-pack";
    ASSERT_EQ(RunShell(pack + " build --main " + Quoted(main) + " --boot " + Quoted(boot) +
                       " --version 1.04 --boot-version 1.02 -o " + Quoted(package) + " >" +
                       Quoted(work / "pack.log") + " 2>&1"),
              0)
        << ReadFile(work / "pack.log");

    // The trailer and the padding take at most the last 15 bytes, so the cipher block 16
    // bytes from the end holds the DEFLATE data's end; vmod-pack decode shows that changing it
    // broke the stream or its text.
    const fs::path data = package / "kv615mq.data";
    const std::string decode =
        pack + " decode " + Quoted(data) + " >" + Quoted(work / "decoded.txt") + " 2>/dev/null";
    ASSERT_EQ(RunShell(decode), 0);
    const std::string sound = ReadFile(work / "decoded.txt");
    std::string bytes = ReadFile(data);
    ASSERT_GT(bytes.size(), 64u);
    bytes[bytes.size() - 16] ^= 0x01;
    std::ofstream(data, std::ios::binary) << bytes;
    ASSERT_TRUE(RunShell(decode) != 0 || ReadFile(work / "decoded.txt") != sound)
        << "the changed byte left the text as it was";

    const fs::path output = work / "sim-update.txt", run = work / "run";
    fs::create_directories(run);
    int status = RunShell(std::string("sh ") + VMOD_SIM_UPDATE + " --bin " +
                          Quoted(VMOD_BUILD_DIR) + " --work " + Quoted(run) + " --refused " +
                          Quoted(package) + " >" + Quoted(output) + " 2>&1");
    ASSERT_EQ(status, 0) << ReadFile(output) << ReadFile(run / "tool.log");
    const std::string log = ReadFile(run / "module.log");
    EXPECT_NE(log.find("command \"!!version"), std::string::npos) << "the module was identified";
    EXPECT_EQ(log.find("command \"!!d"), std::string::npos) << log;
    EXPECT_TRUE(LinesOf(run / "module.log", "main").empty());
    EXPECT_TRUE(LinesOf(run / "module.log", "boot").empty());
    // The one line the tool writes on its standard error for a refused package.
    EXPECT_NE(ReadFile(run / "tool.log").find("main image refused before sending"),
              std::string::npos)
        << ReadFile(run / "tool.log");
    if (!HasFailure())
        fs::remove_all(work);
}

} // namespace
