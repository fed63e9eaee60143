#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/pty.h"
#include "tests/sim/sim_test_util.h"
#include "tools/sim/program.h"

namespace vmod_sim {
namespace {

namespace fs = std::filesystem;
using test::FirstBlock;
using test::Record;

const std::string kModelReply = "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n";

// The words of text; '' is an empty word.
std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        out.push_back(word == "''" ? "" : word);
    }
    return out;
}

TEST(ProgramOptions, ReadsEverySetting) {
    ProgramOptions o;
    std::string error;
    ASSERT_EQ(ParseProgramOptions(
                  // Numbers are decimal (0200 is not octal) or hex; of --pace-baud and
                  // --pace the one given last counts.
                  Split("--root /r --port 3 --model KV9 --firmware 1.05 --boot none "
                        "--layout=older --latency 1.5 --pace-baud 9600 --pace --reset-gone never "
                        "--partial-line 0200 --bad-line nak --main-range 0x1000-0x1FFF "
                        "--no-update main --wrong-ack main:2,3 --wrong-byte 0x15 "
                        "--lost-ack boot:all --garbled-ack 4 --cut-reply main-down:2+300 --silent-from 9 --no-down 2 --no-down-delay 0x1F40 "
                        "--decoy --image-out a.bin --srec-out a.srec --expect fw.srec "
                        "--exit-after-update --log l.txt"),
                  &o, &error),
              ParseOutcome::Run)
        << error;
    const Settings& s = o.settings;
    EXPECT_EQ(o.root, "/r");
    EXPECT_EQ(o.port, 3);
    EXPECT_EQ(s.model, "KV9");
    EXPECT_EQ(s.firmwareVersion, "1.05");
    EXPECT_FALSE(s.bootVersion.has_value());
    EXPECT_EQ(s.layout, VersionLayout::Older);
    EXPECT_EQ(s.latencyUs, 1500u);
    EXPECT_EQ(s.paceBaud, 115200u);
    EXPECT_FALSE(s.resetGoneMs.has_value());
    EXPECT_EQ(s.partialLineMs, 200u);
    EXPECT_EQ(s.badLineReply, BadLineReply::Nak);
    EXPECT_EQ(s.mainRange, std::make_pair(0x1000u, 0x1FFFu));
    EXPECT_FALSE(s.faults.noUpdateBoot);
    EXPECT_TRUE(s.faults.noUpdateMain);
    EXPECT_TRUE(s.faults.wrongAck.Contains(Pass::Main, 3));
    EXPECT_FALSE(s.faults.wrongAck.Contains(Pass::Boot, 3));
    EXPECT_EQ(s.faults.wrongByte, 0x15);
    EXPECT_TRUE(s.faults.lostAck.Contains(Pass::Boot, 40));
    EXPECT_TRUE(s.faults.garbledAck.Contains(Pass::Boot, 4));
    EXPECT_EQ(s.faults.cut.reply, Reply::MainDown);
    EXPECT_EQ(s.faults.cut.keep, 2u);
    EXPECT_EQ(s.faults.cut.restAfterMs, 300u);
    EXPECT_TRUE(s.faults.silentFrom.ReachedBy(Pass::Main, 10));
    EXPECT_EQ(s.faults.noDown, 2);
    EXPECT_EQ(s.faults.noDownAckDelayMs, 8000u);
    EXPECT_TRUE(s.faults.decoy);
    EXPECT_EQ(o.imageOut, "a.bin");
    EXPECT_EQ(o.srecOut, "a.srec");
    EXPECT_EQ(o.expect, "fw.srec");
    EXPECT_TRUE(o.exitAfterUpdate);
    EXPECT_EQ(o.logPath, "l.txt");
}

TEST(ProgramOptions, RefusesWhatItCannotServe) {
    struct Case {
        const char* args;
        ParseOutcome outcome;
        const char* error;
    } cases[] = {
        {"--help", ParseOutcome::Help, ""},
        {"--root /r --port 1 -h", ParseOutcome::Help, ""},
        {"--port 3", ParseOutcome::Error, "--root is required"},
        {"--root /r", ParseOutcome::Error, "--port is required"},
        {"--root '' --port 3", ParseOutcome::Error, "--root: the value is empty"},
        {"--root /r --port 0", ParseOutcome::Error, "--port: "},
        {"--root /r --port 256", ParseOutcome::Error, "--port: "},
        {"--root /r --port x3", ParseOutcome::Error, "--port: "},
        {"--root /r --port", ParseOutcome::Error, "--port: "},
        {"--root /r --port 3 --layout newest", ParseOutcome::Error, "--layout: "},
        {"--root /r --port 3 --latency -1", ParseOutcome::Error, "--latency: "},
        {"--root /r --port 3 --latency nan", ParseOutcome::Error, "--latency: "},
        {"--root /r --port 3 --wrong-ack 0", ParseOutcome::Error, "bad value for --wrong-ack"},
        {"--root /r --port 3 --main-range 0x2000-0x1000", ParseOutcome::Error,
         "bad value for --main-range"},
        {"--root /r --port 3 --pace=1", ParseOutcome::Error, "pace"},
        // Named before the --port it may have been meant to be.
        {"--root /r --colour 3", ParseOutcome::Error, "unknown option --colour"},
    };
    for (const Case& c : cases) {
        ProgramOptions o;
        std::string error;
        EXPECT_EQ(ParseProgramOptions(Split(c.args), &o, &error), c.outcome) << c.args;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.args << ": " << error;
    }
}

// A device root of its own, removed afterwards.
class ScratchRoot {
  public:
    ScratchRoot() {
        std::random_device random;
        m_path = fs::temp_directory_path() / ("vmod_sim_" + std::to_string(random()));
        fs::create_directories(m_path);
    }
    ~ScratchRoot() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path& Path() const { return m_path; }

  private:
    fs::path m_path;
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool LinkExists(const fs::path& link) {
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(link, ec));
}

// kv615mq-sim's serving loop on a thread of the test, on a real pseudo-terminal.
class RunningSim {
  public:
    explicit RunningSim(ProgramOptions options) : m_options(std::move(options)) {
        m_thread = std::thread([this] { m_status = RunProgram(m_options, m_stop, m_out, m_err); });
    }
    ~RunningSim() { Stop(); }
    int Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_status;
    }
    // Waits for the program to end by itself.
    bool Join(int timeoutMs) {
        if (!WaitFor([this] { return m_status.load() >= 0; }, timeoutMs)) {
            return false;
        }
        m_thread.join();
        return true;
    }
    int Status() const { return m_status; }
    std::string Out() const { return m_out.str(); }
    std::string Err() const { return m_err.str(); }

  private:
    ProgramOptions m_options;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_status{-1};
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::thread m_thread;
};

std::string Exchange(int fd, const std::string& command, size_t replySize, int timeoutMs = 2000) {
    if (TtyWrite(fd, reinterpret_cast<const uint8_t*>(command.data()), command.size()) !=
        static_cast<long>(command.size())) {
        return "<write failed>";
    }
    std::string reply(replySize, '\0');
    long n = TtyRead(fd, reinterpret_cast<uint8_t*>(reply.data()), replySize, timeoutMs);
    if (n < 0) {
        return "<read failed>";
    }
    reply.resize(static_cast<size_t>(n));
    return reply;
}

ProgramOptions Options(const ScratchRoot& root, int port) {
    ProgramOptions o;
    o.root = root.Path().string();
    o.port = port;
    o.logPath = (root.Path() / "sim.log").string();
    return o;
}

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(ProgramOnPty, AnswersTheModelQueryAtTheLink) {
    ScratchRoot root;
    RunningSim sim(Options(root, 3));
    const fs::path link = root.Path() / "dev" / "COM3";
    ASSERT_TRUE(WaitFor([&] { return LinkExists(link); })) << sim.Err();
    int fd = TtyOpenRaw(link.string());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "ATI4\r", kModelReply.size()), kModelReply);
    uint8_t extra[8];
    EXPECT_EQ(TtyRead(fd, extra, sizeof extra, 100), 0) << "nothing more";
    TtyClose(fd);
    // Closing and opening again, as identification does between probes.
    fd = TtyOpenRaw(link.string());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "ATI5\r", 20), "ATI5\r\r\n1.03\r\n\r\nOK\r\n");
    TtyClose(fd);
    EXPECT_EQ(sim.Stop(), kExitOk);
    EXPECT_FALSE(LinkExists(link)) << "the link goes with the program";
    const std::string log = ReadWhole(root.Path() / "sim.log");
    EXPECT_NE(log.find("command \"ATI4\\r\""), std::string::npos) << log;
    EXPECT_NE(log.find("command \"ATI5\\r\""), std::string::npos) << log;
}

TEST(ProgramOnPty, ResetWithdrawsTheLinkForTheSetTime) {
    ScratchRoot root;
    ProgramOptions o = Options(root, 4);
    o.settings.resetGoneMs = 400;
    RunningSim sim(o);
    const fs::path link = root.Path() / "dev" / "COM4";
    ASSERT_TRUE(WaitFor([&] { return LinkExists(link); }));
    int fd = TtyOpenRaw(link.string());
    ASSERT_GE(fd, 0);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(Exchange(fd, test::kResetCommand, 0), "");
    ASSERT_TRUE(WaitFor([&] { return !LinkExists(link); }, 1000)) << "the port goes away";
    uint8_t byte = 0;
    EXPECT_EQ(TtyRead(fd, &byte, 1, 200), -1) << "the held port has vanished";
    TtyClose(fd);
    ASSERT_TRUE(WaitFor([&] { return LinkExists(link); }, 3000)) << "and comes back";
    const auto away = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(away, std::chrono::milliseconds(400));
    fd = TtyOpenRaw(link.string());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "ATI4\r", kModelReply.size()), kModelReply);
    TtyClose(fd);
    EXPECT_EQ(sim.Stop(), kExitOk);
}

// A main download as the tool makes it, over the pseudo-terminal; returns what the
// module answered, step by step, joined with "|".
std::string Download(int fd, const std::vector<std::string>& records) {
    std::string replies = Exchange(fd, test::kMainEntry, 30);
    // Appended piece by piece: "|" + a temporary trips GCC 12's -Wrestrict at -O3.
    const auto then = [&](const std::string& reply) {
        replies += '|';
        replies += reply;
    };
    then(Exchange(fd, FirstBlock(records[0]), 1));
    for (size_t i = 1; i < records.size(); ++i) {
        then(Exchange(fd, records[i] + "\r\n", 1));
    }
    then(Exchange(fd, "\r\n", 6));
    return replies;
}

TEST(ProgramOnPty, VerdictOnTheProgrammedImage) {
    struct Case {
        const char* description;
        bool corrupt; // the firmware file differs in one byte from what is sent
        bool badLine; // one line sent with a wrong checksum
        int status;
        const char* verdict;
    } cases[] = {
        {"equal", false, false, kExitOk, "main image: programmed image equals"},
        {"one byte differs", true, false, kExitMismatch, "programmed image differs from"},
        {"a faulty line", false, true, kExitMismatch, "1 faults in its download"},
    };
    for (const Case& c : cases) {
        ScratchRoot root;
        std::vector<std::string> records = {test::kHeader};
        std::string firmware = test::kHeader + "\n";
        for (uint32_t i = 0; i < 8; ++i) {
            std::vector<uint8_t> data(16, static_cast<uint8_t>(i));
            records.push_back(Record(2, 0x10000 + 16 * i, data));
            if (c.corrupt && i == 5) {
                data[3] ^= 1;
            }
            firmware += Record(2, 0x10000 + 16 * i, data) + "\n";
        }
        records.push_back(Record(8, 0x10000, {}));
        firmware += Record(8, 0x10000, {}) + "\n";
        if (c.badLine) {
            records[3].back() = records[3].back() == '0' ? '1' : '0';
        }
        const fs::path fw = root.Path() / "fw.srec";
        std::ofstream(fw) << firmware;
        ProgramOptions o = Options(root, 9);
        o.expect = fw.string();
        o.imageOut = (root.Path() / "out.bin").string();
        o.srecOut = (root.Path() / "out.srec").string();
        o.exitAfterUpdate = true;
        RunningSim sim(o);
        const fs::path link = root.Path() / "dev" / "COM9";
        ASSERT_TRUE(WaitFor([&] { return LinkExists(link); })) << c.description;
        int fd = TtyOpenRaw(link.string());
        ASSERT_GE(fd, 0) << c.description;
        std::string expectedReplies = "!!download2cf\r\r\nUPDATE READY\r\n";
        for (size_t i = 0; i < records.size(); ++i) {
            expectedReplies += "|.";
        }
        expectedReplies += "|DOWN\r\n";
        EXPECT_EQ(Download(fd, records), expectedReplies) << c.description;
        ASSERT_TRUE(sim.Join(5000)) << c.description << ": ends after the update";
        TtyClose(fd);
        EXPECT_EQ(sim.Status(), c.status) << c.description << "\n" << sim.Out();
        EXPECT_NE(sim.Out().find(c.verdict), std::string::npos) << c.description << "\n"
                                                                << sim.Out();
        EXPECT_FALSE(LinkExists(link)) << c.description;
        const std::string binary = ReadWhole(root.Path() / "out.bin");
        EXPECT_EQ(binary.size(), 128u) << c.description << ": gaps are filled";
        SparseImage written;
        std::string error;
        ASSERT_TRUE(LoadSrecFile(o.srecOut, &written, &error)) << error;
        EXPECT_EQ(written.startAddress, 0x10000u) << c.description;
        EXPECT_EQ(written.Size(), c.badLine ? 112u : 128u) << c.description;
    }
}

TEST(ProgramOnPty, StopBeforeTheUpdateFailsTheExpectation) {
    ScratchRoot root;
    const fs::path fw = root.Path() / "fw.srec";
    std::ofstream(fw) << Record(1, 0, {1, 2}) << "\n";
    ProgramOptions o = Options(root, 2);
    o.expect = fw.string();
    RunningSim sim(o);
    ASSERT_TRUE(WaitFor([&] { return LinkExists(root.Path() / "dev" / "COM2"); }));
    EXPECT_EQ(sim.Stop(), kExitMismatch);
    EXPECT_NE(sim.Out().find("no main image was completed"), std::string::npos) << sim.Out();
}

TEST(ProgramOnPty, SetupFailures) {
    ScratchRoot root;
    fs::create_directories(root.Path() / "dev");
    std::ofstream(root.Path() / "dev" / "COM1") << "not a link";
    ProgramOptions o = Options(root, 1);
    RunningSim taken(o);
    ASSERT_TRUE(taken.Join(2000));
    EXPECT_EQ(taken.Status(), kExitSetup);
    EXPECT_NE(taken.Err().find("exists and is not a link"), std::string::npos) << taken.Err();

    o = Options(root, 2);
    o.expect = (root.Path() / "missing.srec").string();
    RunningSim missing(o);
    ASSERT_TRUE(missing.Join(2000));
    EXPECT_EQ(missing.Status(), kExitSetup);
    EXPECT_NE(missing.Err().find("cannot be read"), std::string::npos) << missing.Err();
}

// The built program itself: help, a refused option, and a clean end on SIGTERM.
TEST(ProgramBinary, HelpOptionsAndSignals) {
    ScratchRoot root;
    const std::string sim = KV615MQ_SIM;
    const std::string out = (root.Path() / "out.txt").string();
    EXPECT_EQ(std::system((sim + " --help > " + out).c_str()), 0);
    EXPECT_NE(ReadWhole(out).find("Usage: kv615mq-sim --root DIR --port N"), std::string::npos);
    EXPECT_NE(ReadWhole(out).find("Faults (LINES: [boot:|main:]all"), std::string::npos);
    const std::string status = (root.Path() / "status").string();
    std::system((sim + " --root x --port 3 --bogus 2> " + out + "; echo $? > " + status).c_str());
    EXPECT_EQ(ReadWhole(status), std::to_string(kExitSetup) + "\n");
    EXPECT_NE(ReadWhole(out).find("unknown option --bogus"), std::string::npos);
    // Started in the background, ended by SIGTERM once its link is there.
    const std::string r = root.Path().string();
    const std::string script = sim + " --root " + r + " --port 5 2> " + r +
                               "/log & p=$!; i=0; "
                               "while [ ! -L " +
                               r +
                               "/dev/COM5 ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done; "
                               "kill -TERM $p; wait $p; echo $? > " +
                               r + "/status";
    ASSERT_EQ(std::system(("sh -c '" + script + "'").c_str()), 0);
    EXPECT_EQ(ReadWhole(root.Path() / "status"), "0\n");
    EXPECT_FALSE(LinkExists(root.Path() / "dev" / "COM5"));
    EXPECT_NE(ReadWhole(root.Path() / "log").find("COM5 closed"), std::string::npos);
}

} // namespace
} // namespace vmod_sim
