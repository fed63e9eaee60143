// vmod-update against stand-in modules (kv615mq-sim) on pseudo-terminals under a device root,
// as a script, a test rig or a fleet manager runs it.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "tests/platform/serial_test_util.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kBin = VMOD_BUILD_DIR;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A running program; stdout and stderr to files, or stderr on a pseudo-terminal.
class Program {
  public:
    Program(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
            bool terminal = false) {
        int master = -1;
        m_pid = terminal ? forkpty(&master, nullptr, nullptr, nullptr) : fork();
        if (m_pid == 0) {
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            if (!terminal) {
                int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(e, 2);
            }
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (terminal) // what the terminal shows, copied as it comes
            m_copier = std::thread([master, err] {
                std::ofstream file(err, std::ios::binary);
                char buffer[4096];
                ssize_t n;
                while ((n = read(master, buffer, sizeof buffer)) > 0)
                    file.write(buffer, n).flush();
                ::close(master);
            });
    }
    ~Program() {
        if (m_pid > 0 && !m_done)
            kill(m_pid, SIGKILL), Wait();
    }
    void Signal(int signal) { kill(m_pid, signal); }
    int Wait() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_done = true;
        if (m_copier.joinable())
            m_copier.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t m_pid = -1;
    bool m_done = false;
    std::thread m_copier;
};

// A device root with a package of version 1.04 and stand-in modules on COMn.
class Bench : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("vmod-cli-" + std::to_string(std::random_device()()));
        fs::create_directories(m_dir / "root" / "dev");
        setenv("VMOD_ROOT", (m_dir / "root").c_str(), 1);
        std::string firmware;
        for (int i = 0; i < 24; ++i) // S3 records of 16 bytes, an S7 at the end
            firmware += Record(i * 16);
        firmware += "S70500000000FA\r\n";
        std::ofstream(m_dir / "main.srec") << firmware;
        std::ofstream(m_dir / "boot.srec") << Record(0) << "S70500000000FA\r\n";
        ASSERT_EQ(Shell(kBin + "/tools/pack/vmod-pack build --main " + Path("main.srec") +
                        " --boot " + Path("boot.srec") + " --version 1.04 -o " +
                        Path("root/Program Files/V-MOD VersionUp Tool") + " >/dev/null"),
                  0);
    }
    void TearDown() override {
        m_modules.clear();
        unsetenv("VMOD_ROOT");
        if (!HasFailure())
            fs::remove_all(m_dir);
    }
    static std::string Record(int address) {
        unsigned sum = 0x15 + (address >> 8) + (address & 0xFF);
        char text[64];
        std::snprintf(text, sizeof text, "S3150000%04X", address);
        std::string line = text;
        for (int b = 0; b < 16; ++b) {
            std::snprintf(text, sizeof text, "%02X", (address + b) & 0xFF);
            line += text;
            sum += (address + b) & 0xFF;
        }
        std::snprintf(text, sizeof text, "%02X\r\n", ~sum & 0xFF);
        return line + text;
    }
    std::string Path(const std::string& name) const { return "'" + (m_dir / name).string() + "'"; }
    static int Shell(const std::string& command) {
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // A stand-in on COMn with the given options; its log and verdict in the bench's folder.
    void Module(int com, const std::vector<std::string>& options) {
        std::vector<std::string> args = {
            kBin + "/tools/sim/kv615mq-sim",
            "--root",
            (m_dir / "root").string(),
            "--port",
            std::to_string(com),
            "--log",
            (m_dir / ("module" + std::to_string(com) + ".log")).string()};
        args.insert(args.end(), options.begin(), options.end());
        const std::string name = "module" + std::to_string(com);
        m_modules.push_back(
            std::make_unique<Program>(args, m_dir / (name + ".out"), m_dir / (name + ".err")));
        for (int i = 0;
             i < 300 && !fs::is_symlink(m_dir / "root" / "dev" / ("COM" + std::to_string(com)));
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::unique_ptr<Program> Update(std::vector<std::string> args, bool terminal = false) {
        args.insert(args.begin(), kBin + "/cli/vmod-update");
        return std::make_unique<Program>(args, m_dir / "out", m_dir / "err", terminal);
    }
    std::string Out() const { return Slurp(m_dir / "out"); }
    std::string Err() const { return Slurp(m_dir / "err"); }
    std::string ModuleLog(int com) const {
        return Slurp(m_dir / ("module" + std::to_string(com) + ".log"));
    }
    // The events on stdout; every line must be one JSON object of this format.
    std::vector<json> Events() const {
        std::vector<json> events;
        std::istringstream lines(Out());
        for (std::string line; std::getline(lines, line);) {
            json j = json::parse(line, nullptr, false);
            EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
            if (j.is_object())
                events.push_back(j);
        }
        return events;
    }

    fs::path m_dir;
    std::vector<std::unique_ptr<Program>> m_modules;
};

// Every line on stdout is an event of the format, with the fields its kind promises; each
// module ends with exactly one "end".
void ExpectSchema(const std::vector<json>& events) {
    const std::map<std::string, std::vector<const char*>> fields = {
        {"identified", {"port", "com", "device", "model", "firmware", "boot_block"}},
        {"decision", {"port", "action"}},
        {"progress", {"port", "percent"}},
        {"end", {"port", "outcome", "reason", "restart_due"}},
        {"summary", {"status", "counts", "restart_due"}},
        {"error", {"code", "message"}},
    };
    std::map<std::string, int> ends;
    for (const json& e : events) {
        EXPECT_EQ(e.value("v", 0), 1) << e;
        auto kind = fields.find(e.value("event", ""));
        ASSERT_NE(kind, fields.end()) << e;
        for (const char* field : kind->second)
            EXPECT_TRUE(e.contains(field)) << field << " in " << e;
        if (kind->first == "end")
            ++ends[e["port"].get<std::string>()];
    }
    for (const auto& [port, count] : ends)
        EXPECT_EQ(count, 1) << port;
}

// Refusals and failures that end before anything is written, each with its own status.
TEST_F(Bench, EachWayOfEndingHasItsExitStatus) {
    Module(3, {"--firmware", "1.06", "--boot", "1.05"});
    Module(4, {"--firmware", "1.03", "--boot", "1.05"});
    struct Case {
        const char* description;
        std::vector<std::string> args;
        std::function<void()> setUp;
        int status;
        std::string outcome; // of COM3's or COM4's end event, or the error's code
    };
    std::unique_ptr<serial_test::ExclusiveHolder> holder;
    const fs::path power = m_dir / "root" / "sys" / "class" / "power_supply";
    const Case cases[] = {
        {"no module named", {}, nullptr, 2, ""},
        {"nothing on the port", {"--port", "COM7"}, nullptr, 3, "not-found"},
        {"the package is older than the module", {"--port", "COM3"}, nullptr, 5, "refused-older"},
        {"another program holds the port",
         {"--port", "COM4"},
         [&] {
             holder = std::make_unique<serial_test::ExclusiveHolder>(
                 fs::read_symlink(m_dir / "root" / "dev" / "COM4").string());
         },
         4,
         "unopenable"},
        {"the host on battery",
         {"--port", "COM4"},
         [&] {
             holder.reset();
             fs::create_directories(power / "BAT0");
             std::ofstream(power / "BAT0" / "type") << "Battery\n";
             std::ofstream(power / "BAT0" / "status") << "Discharging\n";
         },
         8,
         "battery"},
        {"a damaged package",
         {"--port", "COM4"},
         [&] {
             fs::remove_all(power);
             fs::resize_file(
                 m_dir / "root" / "Program Files" / "V-MOD VersionUp Tool" / "kv615mq.data", 64);
         },
         5,
         "package-refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        if (c.setUp)
            c.setUp();
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        EXPECT_EQ(Update(args)->Wait(), c.status) << Err();
        std::vector<json> events = Events();
        ExpectSchema(events);
        if (!c.outcome.empty()) {
            ASSERT_FALSE(events.empty()) << Err();
            const json& last = events[events.size() > 1 ? events.size() - 2 : 0];
            EXPECT_EQ(last.value("outcome", last.value("code", "")), c.outcome) << last;
        }
    }
    EXPECT_EQ(ModuleLog(3).find("!!d"), std::string::npos) << "no download command was sent";
    EXPECT_EQ(ModuleLog(4).find("!!d"), std::string::npos);
}

// Two modules at once, one of them pulled mid-image: the other ends with its image exactly the
// firmware. Piped, the progress comes as plain lines, at most one per 10 %.
TEST_F(Bench, OneModuleFailingLeavesTheOtherToFinish) {
    Module(3, {"--boot", "1.05", "--expect", (m_dir / "main.srec").string()});
    Module(4, {"--boot", "1.05", "--pull-at", "main:5"});
    EXPECT_EQ(
        Update({"--port", "COM3", "--port", "COM4", "--json", "--log", m_dir.string()})->Wait(), 7)
        << Err();
    std::vector<json> events = Events();
    ExpectSchema(events);
    std::map<std::string, std::string> outcome;
    for (const json& e : events)
        if (e["event"] == "end")
            outcome[e["port"]] = e["outcome"];
    EXPECT_EQ(outcome["COM3"], "updated");
    EXPECT_EQ(outcome["COM4"], "failed");
    m_modules[0]->Signal(SIGTERM);
    m_modules[0]->Wait();
    EXPECT_NE(Slurp(m_dir / "module3.out").find("main image: programmed image equals"),
              std::string::npos);
    const std::string err = Err();
    EXPECT_EQ(err.find('\r'), std::string::npos) << "no carriage return when piped";
    EXPECT_EQ(err.find('\x1b'), std::string::npos);
    for (int tenth = 1; tenth <= 9; ++tenth) {
        const std::string line = "COM3: " + std::to_string(tenth * 10);
        size_t count = 0;
        for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1))
            ++count;
        EXPECT_LE(count, 1u) << line;
    }
    EXPECT_NE(Slurp(m_dir / "COM3.log").find("> \"!!download2cf\\r\\n\\x00\""), std::string::npos);
}

// On a terminal the bars are redrawn in place.
TEST_F(Bench, OnATerminalTheBarsMoveInPlace) {
    Module(3, {"--boot", "1.05"});
    EXPECT_EQ(Update({"--port", "COM3"}, true)->Wait(), 0) << Err();
    const std::string screen = Err();
    EXPECT_NE(screen.find("\x1b[1A"), std::string::npos) << screen;
    EXPECT_NE(screen.find("] 100 %"), std::string::npos) << screen;
}

// Ctrl-C before anything is written ends at once; while a module is written the first one
// only warns, and a second within a few seconds stops it the way Exit does.
TEST_F(Bench, CtrlCOnceWarnsAndTwiceStops) {
    Module(3, {"--boot", "1.05", "--pace-baud", "2400"});
    auto early = Update({"--port", "COM3", "--json"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    early->Signal(SIGINT);
    EXPECT_EQ(early->Wait(), 130);
    EXPECT_EQ(ModuleLog(3).find("!!d"), std::string::npos);

    auto run = Update({"--port", "COM3", "--json"});
    for (int i = 0; i < 300 && Out().find("\"progress\"") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    run->Signal(SIGINT);
    const size_t atFirst = Out().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GT(Out().size(), atFirst) << "the update goes on after the first Ctrl-C";
    EXPECT_NE(Err().find("COM3"), std::string::npos) << "the warning names the module";
    run->Signal(SIGINT);
    EXPECT_EQ(run->Wait(), 130);
    std::vector<json> events = Events();
    ExpectSchema(events);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].value("outcome", ""), "interrupted");
}

} // namespace
