// The soak through the built programs. Each run gets a device root of its own with several
// stand-in modules (kv615mq-sim on pseudo-terminals linked as COM3, COM4, ...), each with a
// fault drawn at random, and one vmod-update --json updates them all at once. Then the run
// reads what each module took (the stand-in's verdict on its images, its log) beside what
// vmod-update said, and whether every port that is there can be opened again.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "bench/bench_support.h"
#include "bench/firmware.h"
#include "bench/soak.h"

namespace soak {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

const std::string kUpdate = VMOD_BUILD_DIR "/cli/vmod-update";
const std::string kSim = VMOD_BUILD_DIR "/tools/sim/kv615mq-sim";
const std::string kPack = VMOD_BUILD_DIR "/tools/pack/vmod-pack";

constexpr int kFirstPort = 3;
constexpr uint32_t kMainAddress = 0x8000;
constexpr uint32_t kBootAddress = 0x0;
// The slowest ending the protocol allows (a late reset return through seven re-open attempts,
// then the 30 s limit in the main pass) stays well inside it.
constexpr double kHangBoundS = 300;

struct Setup {
    fs::path work, mainSrec, bootSrec, package;
    int mainLines = 0, bootLines = 0;
};

int LinesOf(const std::string& text) {
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

// The process's exit: its status, or 128 + the signal that ended it.
int ExitOf(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

std::vector<json> JsonLines(const fs::path& path) {
    std::vector<json> out;
    std::istringstream in(bench::ReadAll(path));
    std::string line;
    while (std::getline(in, line))
        out.push_back(json::parse(line, nullptr, false)); // a line that is not JSON: discarded
    return out;
}

// Whether the stand-in's log has an entry of the kind "line" (a download line it heard).
bool AnyLine(const std::string& log) {
    std::istringstream in(log);
    std::string entry;
    while (std::getline(in, entry)) {
        std::istringstream words(entry);
        std::string time, kind;
        if (words >> time >> kind && kind == "line")
            return true;
    }
    return false;
}

// One module of a run as the soak follows it.
struct Module {
    Plan plan;
    int com = 0;
    std::string name; // "COM3"
    pid_t sim = -1;
    pid_t intruder = -1;
    int percent = -1; // the latest progress event's
    Clock::time_point endSeen{}, intruderEnded{};
    bool ended = false;
};

struct RunResult {
    std::vector<std::pair<Plan, std::string>> endings; // per module: its plan and ending
    std::string detail;
    double seconds = 0;
};

RunResult RunReal(const Setup& setup, const Options& o, int run) {
    const auto started = Clock::now();
    std::mt19937 rng(static_cast<uint32_t>(o.seed * 1000003u + static_cast<uint64_t>(run)));
    const fs::path dir = setup.work / ("run-" + std::to_string(run));
    const fs::path root = dir / "root";
    fs::remove_all(dir);
    fs::create_directories(root / "dev");

    // The first module's draw may be a fault of the whole run; then every module has it.
    std::vector<Module> modules(static_cast<size_t>(o.modules));
    for (size_t i = 0; i < modules.size(); ++i) {
        Module& m = modules[i];
        m.com = kFirstPort + static_cast<int>(i);
        m.name = "COM" + std::to_string(m.com);
        m.plan = Draw(rng, setup.mainLines, setup.bootLines, i == 0, i == 0);
        if (i > 0 && (modules[0].plan.damaged || modules[0].plan.battery)) {
            const bool bootDue = m.plan.bootDue;
            m.plan = modules[0].plan;
            m.plan.bootDue = bootDue;
            m.plan.moduleArgs = {"--firmware", "1.03", "--boot", bootDue ? "1.01" : "1.05"};
        }
    }
    fs::path package = setup.package;
    const Plan& first = modules[0].plan;
    std::string runNote;
    if (first.damaged) {
        package = dir / "package";
        fs::copy(setup.package, package);
        const fs::path payload = package / (rng() & 1 ? "kv615mq.data" : "kv615mqb.data");
        std::string bytes = bench::ReadAll(payload);
        const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng);
        bytes[at] = static_cast<char>(bytes[at] ^ (1u << (rng() % 8)));
        bench::WriteAll(payload, bytes);
        runNote = payload.filename().string() + " byte " + std::to_string(at) + " changed";
    }
    if (first.battery) {
        const fs::path battery = root / "sys/class/power_supply/BAT0";
        fs::create_directories(battery);
        bench::WriteAll(battery / "type", "Battery\n");
        bench::WriteAll(battery / "status", "Discharging\n");
    }
    const std::vector<std::pair<std::string, std::string>> env = {{"VMOD_ROOT", root.string()}};

    for (Module& m : modules) {
        std::vector<std::string> args = {kSim,   "--root", root.string(), "--port",
                                         std::to_string(m.com), "--log",
                                         (dir / (m.name + ".log")).string(), "--expect",
                                         setup.mainSrec.string()};
        if (m.plan.bootDue)
            args.insert(args.end(), {"--expect-boot", setup.bootSrec.string()});
        args.insert(args.end(), m.plan.moduleArgs.begin(), m.plan.moduleArgs.end());
        m.sim = bench::Spawn(args, dir / (m.name + ".out"), dir / (m.name + ".err"));
    }
    bench::WaitFor(
        [&] {
            for (const Module& m : modules)
                if (!fs::is_symlink(root / "dev" / m.name))
                    return false;
            return true;
        },
        10);

    std::vector<std::string> args = {kUpdate, "--json", "--package", package.string(), "--jobs",
                                     std::to_string(modules.size())};
    for (const Module& m : modules)
        args.insert(args.end(), {"--port", m.name});
    const pid_t update = bench::Spawn(args, dir / "update.out", dir / "update.err", env);
    int updateStatus = -1;
    bool hung = false;
    while (updateStatus < 0) {
        int ws = 0;
        if (::waitpid(update, &ws, WNOHANG) == update)
            updateStatus = ExitOf(ws);
        for (const json& j : JsonLines(dir / "update.out")) {
            if (!j.is_object() || !j.contains("port"))
                continue;
            for (Module& m : modules) {
                if (j["port"] != m.name)
                    continue;
                if (j["event"] == "end" && !m.ended) {
                    m.ended = true;
                    m.endSeen = Clock::now();
                }
            }
        }
        for (const json& j : JsonLines(dir / "update.out"))
            for (Module& m : modules)
                if (j.is_object() && j.value("event", "") == "progress" && j["port"] == m.name)
                    m.percent = j.value("percent", 0);
        for (Module& m : modules) {
            // Another program tries the port in the main image's pass, while the update holds it
            // (the progress runs over both images; the port is let go for the reset between).
            const int bootShare = 100 * (setup.bootLines + 1) / (setup.bootLines + setup.mainLines + 2);
            const int at = m.plan.bootDue
                               ? bootShare + 1 + m.plan.intruderAtPercent * (99 - bootShare) / 100
                               : m.plan.intruderAtPercent;
            if (m.plan.intruderAtPercent >= 0 && m.intruder < 0 && !m.ended && m.percent >= at)
                m.intruder = bench::Spawn({kUpdate, "--json", "--check", "--package",
                                           package.string(), "--port", m.name},
                                          dir / ("intruder-" + m.name + ".out"),
                                          dir / ("intruder-" + m.name + ".err"), env);
            if (m.intruder > 0 && m.intruderEnded == Clock::time_point{} &&
                ::waitpid(m.intruder, nullptr, WNOHANG) == m.intruder)
                m.intruderEnded = Clock::now();
        }
        if (updateStatus < 0 &&
            std::chrono::duration<double>(Clock::now() - started).count() > kHangBoundS) {
            ::kill(update, SIGKILL);
            ::waitpid(update, nullptr, 0);
            hung = true;
            updateStatus = 128 + SIGKILL;
        }
        if (updateStatus < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (Module& m : modules)
        if (m.intruder > 0 && m.intruderEnded == Clock::time_point{}) {
            ::waitpid(m.intruder, nullptr, 0);
            m.intruderEnded = Clock::now();
        }

    // What vmod-update said, per port.
    std::map<std::string, json> ends;
    std::map<std::string, bool> identified;
    int summaryStatus = -1;
    bool refusedAtStart = false;
    for (const json& j : JsonLines(dir / "update.out")) {
        if (!j.is_object())
            continue;
        const std::string event = j.value("event", "");
        if (event == "end")
            ends[j.value("port", "")] = j;
        else if (event == "identified")
            identified[j.value("port", "")] = true;
        else if (event == "summary")
            summaryStatus = j.value("status", -1);
        else if (event == "error")
            refusedAtStart = true;
    }
    const std::string err = bench::ReadAll(dir / "update.err");
    const bool crashed = (updateStatus >= 128 && updateStatus != 130 && !hung) ||
                         err.find("Sanitizer") != std::string::npos;
    bool allUpdated = !modules.empty();
    for (const Module& m : modules)
        allUpdated = allUpdated && ends.count(m.name) && ends[m.name].value("outcome", "") == "updated";
    const bool statusWrong = !hung && !crashed &&
                             (summaryStatus != updateStatus || (updateStatus == 0) != allUpdated);

    // Every port that is there opens again: one check of them all.
    std::vector<std::string> check = {kUpdate, "--json", "--check", "--package",
                                      setup.package.string()};
    for (const Module& m : modules)
        if (fs::exists(root / "dev" / m.name))
            check.insert(check.end(), {"--port", m.name});
    std::map<std::string, bool> held;
    if (check.size() > 5) {
        const pid_t again = bench::Spawn(check, dir / "again.out", dir / "again.err", env);
        ::waitpid(again, nullptr, 0);
        for (const json& j : JsonLines(dir / "again.out"))
            if (j.is_object() && j.value("event", "") == "end" &&
                j.value("outcome", "") == "unopenable")
                held[j.value("port", "")] = true;
    }

    RunResult result;
    result.detail = runNote;
    for (Module& m : modules) {
        ::kill(m.sim, SIGTERM);
        int ws = 0;
        ::waitpid(m.sim, &ws, 0);
        const std::string log = bench::ReadAll(dir / (m.name + ".log"));
        Facts f;
        f.hung = hung;
        f.crashed = crashed;
        f.statusWrong = statusWrong;
        f.refusedAtStart = refusedAtStart && identified.empty();
        f.identified = identified.count(m.name) > 0;
        const json end = ends.count(m.name) ? ends[m.name] : json::object();
        f.completed = end.value("outcome", "") == "updated";
        f.told = !f.completed && !end.value("reason", "").empty();
        f.mainTaken = log.find("main image complete") != std::string::npos;
        f.exact = ExitOf(ws) == 0;
        f.linesSent = AnyLine(log);
        f.portHeld = held.count(m.name) > 0;
        if (m.intruder > 0) {
            bool in = false;
            for (const json& j : JsonLines(dir / ("intruder-" + m.name + ".out")))
                in = in || (j.is_object() && j.value("event", "") == "identified");
            f.portShared = in && (!m.ended || m.intruderEnded < m.endSeen);
        }
        std::string ending = Judge(m.plan, f);
        if (IsBad(ending) || o.verbose)
            ending += " [" + m.name + ": " + end.value("reason", std::string()) + "]";
        result.endings.emplace_back(m.plan, ending);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return result;
}

} // namespace

int RealSoak(const Options& o) {
    Setup setup;
    setup.work = o.work.empty() ? fs::temp_directory_path() / ("vmod-soak-" +
                                                               std::to_string(::getpid()))
                                : fs::path(o.work);
    fs::create_directories(setup.work);
    const std::string mainText = make_srecord_text(make_firmware(4096, 11), kMainAddress);
    const std::string bootText = make_srecord_text(make_firmware(1024, 12), kBootAddress);
    setup.mainSrec = setup.work / "main.srec";
    setup.bootSrec = setup.work / "boot.srec";
    setup.package = setup.work / "package";
    setup.mainLines = LinesOf(mainText);
    setup.bootLines = LinesOf(bootText);
    const std::string packCommand =
        bench::Quoted(kPack) + " build --main " + bench::Quoted(setup.mainSrec) + " --boot " +
        bench::Quoted(setup.bootSrec) + " --version 1.05 --boot-version 1.02 -o " +
        bench::Quoted(setup.package) + " >" + bench::Quoted(setup.work / "pack.txt") + " 2>&1";
    if (!bench::WriteAll(setup.mainSrec, mainText) || !bench::WriteAll(setup.bootSrec, bootText) ||
        std::system(packCommand.c_str()) != 0) {
        std::fprintf(stderr, "vmod-soak: cannot make the package in %s\n", setup.work.c_str());
        return 2;
    }

    std::printf("vmod-soak: seed %llu, %d runs of %d modules through vmod-update, %d at once; "
                "files in %s\n",
                static_cast<unsigned long long>(o.seed), o.runs, o.modules, o.parallel,
                setup.work.c_str());
    std::fflush(stdout);
    const auto started = Clock::now();
    std::atomic<int> next{0};
    std::mutex mutex;
    Table table;
    int bad = 0, modules = 0;
    double slowest = 0;
    std::vector<std::thread> workers;
    for (int w = 0; w < std::max(1, o.parallel); ++w)
        workers.emplace_back([&] {
            for (int run = next++; run < o.runs; run = next++) {
                if (o.only >= 0 && run != o.only)
                    continue;
                const RunResult r = RunReal(setup, o, run);
                std::lock_guard<std::mutex> lock(mutex);
                slowest = std::max(slowest, r.seconds);
                for (const auto& [plan, ending] : r.endings) {
                    const std::string verdict = ending.substr(0, ending.find(" ["));
                    table.Add(plan.fault, verdict);
                    bad += IsBad(verdict);
                    ++modules;
                    if (IsBad(verdict) || o.verbose) {
                        char seconds[32];
                        std::snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
                        PrintRun(o.seed, run, plan.fault + (plan.note.empty() ? "" : " " + plan.note),
                                 ending, r.detail.empty() ? seconds : r.detail + ", " + seconds);
                    }
                }
            }
        });
    for (std::thread& t : workers)
        t.join();
    table.Print();
    std::printf("bad module endings: %d of %d; slowest run %.1f s; wall time %.1f s\n", bad,
                modules, slowest,
                std::chrono::duration<double>(Clock::now() - started).count());
    return bad == 0 ? 0 : 1;
}

} // namespace soak
