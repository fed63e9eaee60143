// vmod-fleet-bench: vmod-update at work. A generated firmware (main image and boot block) is
// packed with vmod-pack and stand-in modules (kv615mq-sim --pace: 115200 baud 8N1 wire time,
// firmware 1.03 and boot block 1.01, so the boot block goes first) serve it on
// pseudo-terminals under device roots of their own. vmod-update updates one module (COM3)
// alone, then four (COM3 to COM6) in one process; the dialog makes the same update of COM3
// as vmod-download-bench makes it (scripts/sim-update --pace under Xvfb). Every module must
// end programmed with its firmware. From the modules' logs and the child's resource usage
// (wait4) it prints:
//
//   ratio parallel_vs_single        one module's update time ÷ four modules' at once, each
//                                   from the first download command a module heard to the
//                                   last "DOWN" reply; for four, the earliest to the latest,
//                                   each module's clock set on the bench's by the moment it
//                                   was started (goal >= 0.95)
//   ratio cli_vs_dialog             the dialog's update time ÷ vmod-update's, same module and
//                                   package, measured alike (goal >= 0.99)
//   ratio cpu_per_module_vs_1pct    1 % ÷ vmod-update's user+system CPU time over its wall
//                                   time and over the four modules (goal >= 1)
//   ratio wire_wait_vs_2ms          2 ms ÷ the largest difference between a wait of
//                                   vmod-update's and the same wait of the dialog's, on the
//                                   wire of COM3 (goal >= 1, with the same bytes in the same
//                                   order)
//
// and the peak memory (ru_maxrss) of vmod-update for one module and for four.
//
//   vmod-fleet-bench [--main-kib N] [--boot-kib N] [--keep DIR]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/download_timing.h"
#include "bench/firmware.h"

namespace fs = std::filesystem;

namespace {

using bench::Quoted;
using bench::ReadAll;
using bench::Spawn;
using bench::WaitFor;
using bench::WriteAll;

constexpr double kBaud = 115200;
constexpr double kParallelGoal = 0.95;
constexpr double kDialogGoal = 0.99;
constexpr double kCpuShareGoal = 0.01; // of one module's share of the wall time
constexpr double kWaitGoalMs = 2.0;
constexpr double kLogResolutionMs = 0.001; // the module logs its times to the microsecond
constexpr int kFleet[] = {3, 4, 5, 6};
constexpr int kSingle = 3;
// The module's versions: older than the package's (1.04) and its boot block older than 1.02,
// so every update sends the boot block, resets the module and then sends the main image.
const char kModuleFirmware[] = "1.03";
const char kModuleBoot[] = "1.01";
const char kPackageVersion[] = "1.04";
const char kPackageBootVersion[] = "1.02";
// The main image runs across 64 KiB, so its records' prefix changes once in the middle (a
// 1600 ms pause) as well as after the header and before the end.
constexpr uint32_t kMainAddress = 0x10000 - 0x2000;
constexpr uint32_t kBootAddress = 0x0;
const char kImageEquals[] = "programmed image equals";
const char kPackageFolder[] = "Program Files/V-MOD VersionUp Tool";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string LoadAverage() {
    std::string load = ReadAll("/proc/loadavg");
    std::istringstream in(load);
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// ---- the modules' logs ---------------------------------------------------------------------

// One entry of a module's log: "$TIME_MS $KIND $TEXT".
struct LogEntry {
    double ms = 0;
    std::string kind;
    std::string text;
};

std::vector<LogEntry> ParseLog(const std::string& log) {
    std::vector<LogEntry> entries;
    std::istringstream in(log);
    for (std::string row; std::getline(in, row);) {
        std::istringstream fields(row);
        LogEntry e;
        if (!(fields >> e.ms >> e.kind))
            continue;
        std::getline(fields, e.text);
        e.text.erase(0, e.text.find_first_not_of(' '));
        entries.push_back(std::move(e));
    }
    return entries;
}

bool IsDownloadCommand(const LogEntry& e) {
    return e.kind == "command" && e.text.rfind("\"!!d", 0) == 0;
}

// What the tool sent, as the module heard it: commands, lines and end markers.
std::vector<LogEntry> Sent(const std::vector<LogEntry>& entries) {
    std::vector<LogEntry> sent;
    for (const LogEntry& e : entries)
        if (e.kind == "command" || e.kind == "line" || e.kind == "end")
            sent.push_back(e);
    return sent;
}

// The update as one module saw it: its first download command to its last "DOWN" reply, in
// the module's own clock (milliseconds since it started).
struct Span {
    bool ok = false;
    double startMs = 0, endMs = 0;
    double Ms() const { return endMs - startMs; }
};

Span UpdateSpan(const std::vector<LogEntry>& entries) {
    Span s;
    bool started = false;
    for (const LogEntry& e : entries) {
        if (!started && IsDownloadCommand(e)) {
            s.startMs = e.ms;
            started = true;
        }
        if (started && e.kind == "reply" && e.text.find("DOWN") != std::string::npos) {
            s.endMs = e.ms;
            s.ok = true;
        }
    }
    return s;
}

// The tool's wire against the dialog's: the same bytes in the same order, and each wait (the
// time from one entry to the next) beside the dialog's. The wait before the first download
// command is left out: in the dialog it is the user's, up to the press of Start.
struct WireComparison {
    size_t entries = 0; // entries compared (the longer log's count when they differ)
    bool bytesEqual = false;
    std::string firstDifference;
    size_t waits = 0;
    double largestMs = 0;  // the largest |tool's wait - dialog's wait|
    std::string largestAt; // the entry that ends that wait, in the tool's log
    double largestToolMs = 0, largestDialogMs = 0;
    std::vector<double> differencesMs;       // |tool's wait - dialog's wait|, every wait
    size_t toolLonger = 0, dialogLonger = 0; // waits beyond the goal, by whose was longer
};

std::string Describe(const LogEntry& e) {
    std::string text = e.kind + " " + e.text;
    if (text.size() > 60)
        text = text.substr(0, 57) + "...";
    return text;
}

WireComparison CompareWire(const std::vector<LogEntry>& toolLog,
                           const std::vector<LogEntry>& dialogLog) {
    WireComparison c;
    const std::vector<LogEntry> tool = Sent(toolLog), dialog = Sent(dialogLog);
    c.entries = std::max(tool.size(), dialog.size());
    c.bytesEqual = tool.size() == dialog.size();
    const size_t n = std::min(tool.size(), dialog.size());
    for (size_t i = 0; i < n; ++i) {
        if (tool[i].kind != dialog[i].kind || tool[i].text != dialog[i].text) {
            c.bytesEqual = false;
            c.firstDifference = "entry " + std::to_string(i + 1) + ": tool " + Describe(tool[i]) +
                                ", dialog " + Describe(dialog[i]);
            break;
        }
    }
    if (!c.bytesEqual && c.firstDifference.empty())
        c.firstDifference = "the tool sent " + std::to_string(tool.size()) +
                            " entries, the dialog " + std::to_string(dialog.size());
    if (!c.bytesEqual)
        return c;
    const size_t start = static_cast<size_t>(
        std::find_if(tool.begin(), tool.end(), IsDownloadCommand) - tool.begin());
    for (size_t i = 1; i < n; ++i) {
        if (i == start)
            continue; // identified, then Start
        const double toolWait = tool[i].ms - tool[i - 1].ms;
        const double dialogWait = dialog[i].ms - dialog[i - 1].ms;
        ++c.waits;
        const double d = std::fabs(toolWait - dialogWait);
        c.differencesMs.push_back(d);
        if (d > kWaitGoalMs)
            ++(toolWait > dialogWait ? c.toolLonger : c.dialogLonger);
        if (d > c.largestMs) {
            c.largestMs = d;
            c.largestAt = "entry " + std::to_string(i + 1) + " (" + Describe(tool[i]) + ")";
            c.largestToolMs = toolWait;
            c.largestDialogMs = dialogWait;
        }
    }
    return c;
}

// ---- child processes -----------------------------------------------------------------------

// A stand-in module this bench started.
struct Module {
    int com = 0;
    pid_t pid = -1;
    Clock::time_point started; // the module's clock starts just after this
    fs::path log, verdict;
    int status = -1;
};

void StopModules(std::vector<Module>& modules) {
    for (Module& m : modules) {
        if (m.pid > 0) {
            ::kill(m.pid, SIGTERM);
            ::waitpid(m.pid, nullptr, 0);
            m.pid = -1;
        }
    }
}

// One run of vmod-update against its own stand-ins.
struct CliRun {
    bool ok = false;
    std::string error;
    double processS = 0; // vmod-update's start to its exit
    double cpuS = 0;     // its user + system CPU time, all threads
    long maxRssKiB = 0;
    std::vector<std::vector<LogEntry>> logs; // per module, in kFleet order
    std::vector<Span> spans;                 // per module, in the module's clock
    double updateMs = 0; // the earliest first download command to the latest last "DOWN",
                         // the modules' clocks set on the bench's by their start
};

CliRun RunCli(const fs::path& dir, const std::vector<int>& coms, const fs::path& package,
              const fs::path& mainSrec, const fs::path& bootSrec) {
    CliRun run;
    const fs::path root = dir / "root";
    std::error_code ec;
    fs::create_directories(root / kPackageFolder, ec);
    for (const auto& file : fs::directory_iterator(package, ec))
        fs::copy_file(file.path(), root / kPackageFolder / file.path().filename(), ec);
    if (ec) {
        run.error = "cannot lay out the device root " + root.string() + ": " + ec.message();
        return run;
    }

    std::vector<Module> modules;
    for (int com : coms) {
        Module m;
        m.com = com;
        const std::string name = "COM" + std::to_string(com);
        m.log = dir / (name + ".log");
        m.verdict = dir / (name + "-verdict.txt");
        m.started = Clock::now();
        m.pid = Spawn({VMOD_BUILD_DIR "/tools/sim/kv615mq-sim", "--root", root.string(), "--port",
                       std::to_string(com), "--pace", "--firmware", kModuleFirmware, "--boot",
                       kModuleBoot, "--expect", mainSrec.string(), "--expect-boot",
                       bootSrec.string(), "--exit-after-update", "--log", m.log.string()},
                      m.verdict, dir / (name + "-sim.txt"));
        modules.push_back(m);
    }
    for (const Module& m : modules) {
        if (!WaitFor([&] { return fs::is_symlink(root / "dev" / ("COM" + std::to_string(m.com))); },
                     10)) {
            StopModules(modules);
            run.error = "the stand-in module on COM" + std::to_string(m.com) + " did not come up";
            return run;
        }
    }

    std::vector<std::string> args = {VMOD_BUILD_DIR "/cli/vmod-update"};
    for (int com : coms) {
        args.push_back("--port");
        args.push_back("COM" + std::to_string(com));
    }
    const auto start = Clock::now();
    const pid_t tool =
        Spawn(args, dir / "update.out", dir / "update.err", {{"VMOD_ROOT", root.string()}});
    int status = 0;
    struct rusage usage = {};
    const pid_t waited = ::wait4(tool, &status, 0, &usage);
    const auto end = Clock::now();
    if (waited != tool || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        StopModules(modules);
        run.error = "vmod-update failed (status " +
                    std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "):\n" +
                    ReadAll(dir / "update.err");
        return run;
    }
    run.processS = Seconds(start, end);
    run.cpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.maxRssKiB = usage.ru_maxrss;

    // Each module ends by itself once the final reply has been read.
    for (Module& m : modules) {
        const bool ended = WaitFor(
            [&] {
                int s = 0;
                if (::waitpid(m.pid, &s, WNOHANG) != m.pid)
                    return false;
                m.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
                m.pid = -1;
                return true;
            },
            15);
        if (!ended) {
            StopModules(modules);
            run.error = "the stand-in module on COM" + std::to_string(m.com) +
                        " did not end after the update";
            return run;
        }
    }

    double first = 0, last = 0;
    for (size_t i = 0; i < modules.size(); ++i) {
        const Module& m = modules[i];
        const std::string v = ReadAll(m.verdict);
        size_t equal = 0;
        for (size_t at = v.find(kImageEquals); at != std::string::npos;
             at = v.find(kImageEquals, at + 1))
            ++equal;
        if (m.status != 0 || equal != 2 || v.find("faults in") != std::string::npos) {
            run.error = "COM" + std::to_string(m.com) + " was not programmed as expected: " + v;
            return run;
        }
        run.logs.push_back(ParseLog(ReadAll(m.log)));
        const Span s = UpdateSpan(run.logs.back());
        const DownloadTiming t = JudgeDownloadLog(ReadAll(m.log), kBaud);
        if (!s.ok || !t.ok || !t.bootPass) {
            run.error = "COM" + std::to_string(m.com) + "'s log holds no whole update: " + t.error +
                        " (" + m.log.string() + ")";
            return run;
        }
        run.spans.push_back(s);
        const double offset = Seconds(start, m.started) * 1000;
        if (i == 0 || s.startMs + offset < first)
            first = s.startMs + offset;
        if (i == 0 || s.endMs + offset > last)
            last = s.endMs + offset;
    }
    run.updateMs = modules.size() == 1 ? run.spans[0].Ms() : last - first;
    run.ok = true;
    return run;
}

int Usage() {
    std::fprintf(stderr, "usage: vmod-fleet-bench [--main-kib N] [--boot-kib N] [--keep DIR]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    size_t mainKib = 16, bootKib = 4;
    fs::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const char* value = argv[++i];
        if (arg == "--main-kib")
            mainKib = std::strtoul(value, nullptr, 10);
        else if (arg == "--boot-kib")
            bootKib = std::strtoul(value, nullptr, 10);
        else if (arg == "--keep")
            keep = value;
        else
            return Usage();
    }
    if (mainKib == 0 || bootKib == 0 || mainKib > 4096 || bootKib > 4096)
        return Usage();

    std::random_device seed;
    const fs::path work =
        keep.empty() ? fs::temp_directory_path() / ("vmod-fleet-bench-" + std::to_string(seed()))
                     : fs::absolute(keep);
    std::error_code ec;
    for (const char* folder : {"single", "four", "dialog", "package"})
        fs::remove_all(work / folder, ec);
    fs::create_directories(work, ec);
    if (ec) {
        std::fprintf(stderr, "vmod-fleet-bench: %s: %s\n", work.c_str(), ec.message().c_str());
        return 1;
    }
    auto fail = [&](const std::string& what) {
        std::fprintf(stderr, "vmod-fleet-bench: %s\n(the run's files: %s)\n", what.c_str(),
                     work.c_str());
        return 1;
    };

    const fs::path main = work / "main.srec", boot = work / "boot.srec";
    const std::string mainText = make_srecord_text(make_firmware(mainKib * 1024, 1), kMainAddress);
    const std::string bootText = make_srecord_text(make_firmware(bootKib * 1024, 2), kBootAddress);
    if (!WriteAll(main, mainText) || !WriteAll(boot, bootText))
        return fail("cannot write the firmware");
    const fs::path package = work / "package";
    const std::string pack = Quoted(VMOD_BUILD_DIR "/tools/pack/vmod-pack");
    const std::string packCommand =
        pack + " build --main " + Quoted(main) + " --boot " + Quoted(boot) + " --version " +
        kPackageVersion + " --boot-version " + kPackageBootVersion + " -o " + Quoted(package) +
        " >" + Quoted(work / "pack.txt") + " 2>&1 && " + pack + " verify " + Quoted(package) +
        " >>" + Quoted(work / "pack.txt") + " 2>&1";
    if (std::system(packCommand.c_str()) != 0)
        return fail("vmod-pack could not make the package:\n" + ReadAll(work / "pack.txt"));

    std::printf("update: %zu KiB main image (one prefix change mid-image) and %zu KiB boot "
                "block, package %s; modules at firmware %s, boot block %s (boot block first), "
                "paced at %.0f baud 8N1\n",
                mainKib, bootKib, kPackageVersion, kModuleFirmware, kModuleBoot, kBaud);
    std::printf("load average at the start: %s\n", LoadAverage().c_str());
    std::fflush(stdout);

    std::printf("vmod-update: one module (COM%d)\n", kSingle);
    std::fflush(stdout);
    const CliRun single = RunCli(work / "single", {kSingle}, package, main, boot);
    if (!single.ok)
        return fail("one module: " + single.error);

    std::printf("vmod-update: four modules at once (COM%d to COM%d)\n", kFleet[0], kFleet[3]);
    std::fflush(stdout);
    const CliRun four = RunCli(
        work / "four", std::vector<int>(std::begin(kFleet), std::end(kFleet)), package, main, boot);
    if (!four.ok)
        return fail("four modules: " + four.error);

    std::printf("dialog: the same update of COM%d (scripts/sim-update --pace, Xvfb)\n", kSingle);
    std::fflush(stdout);
    const fs::path dialogDir = work / "dialog";
    const std::string dialogCommand =
        std::string("sh ") + Quoted(VMOD_SOURCE_DIR "/scripts/sim-update") + " --bin " +
        Quoted(VMOD_BUILD_DIR) + " --work " + Quoted(dialogDir / "run") + " --main " +
        Quoted(main) + " --boot " + Quoted(boot) + " --version " + kPackageVersion +
        " --boot-version " + kPackageBootVersion + " --firmware " + kModuleFirmware +
        " --module-boot " + kModuleBoot + " --pace --cpu-out " + Quoted(dialogDir / "cpu.txt") +
        " >" + Quoted(work / "sim-update.txt") + " 2>&1";
    fs::create_directories(dialogDir, ec);
    if (std::system(dialogCommand.c_str()) != 0)
        return fail("the dialog's update failed:\n" + ReadAll(work / "sim-update.txt"));
    const std::string dialogText = ReadAll(dialogDir / "run" / "module.log");
    const std::vector<LogEntry> dialogLog = ParseLog(dialogText);
    const Span dialog = UpdateSpan(dialogLog);
    const DownloadTiming dialogTiming = JudgeDownloadLog(dialogText, kBaud);
    if (!dialog.ok || !dialogTiming.ok)
        return fail("the dialog's module log holds no whole update: " + dialogTiming.error);
    // The dialog's package is made from the same firmware by the same vmod-pack.
    bool samePackage = true;
    for (const auto& file : fs::directory_iterator(package, ec))
        samePackage =
            samePackage && ReadAll(file.path()) == ReadAll(dialogDir / "run" / "root" /
                                                           kPackageFolder / file.path().filename());

    const WireComparison wire = CompareWire(single.logs[0], dialogLog);
    WireComparison fleetWire;
    for (const auto& log : four.logs) {
        const WireComparison w = CompareWire(log, dialogLog);
        if (!w.bytesEqual || w.largestMs >= fleetWire.largestMs || fleetWire.entries == 0)
            fleetWire = w;
        if (!w.bytesEqual)
            break;
    }

    double fourShortest = four.spans[0].Ms(), fourLongest = four.spans[0].Ms();
    for (const Span& s : four.spans) {
        fourShortest = std::min(fourShortest, s.Ms());
        fourLongest = std::max(fourLongest, s.Ms());
    }
    const double cpuShare = four.cpuS / four.processS / 4;

    std::printf("%-46s %9zu lines of the boot block and main image, package %s\n",
                "each module received", dialogTiming.lines,
                samePackage ? "identical to the dialog's" : "NOT identical to the dialog's");
    std::printf("%-46s %9.3f s (process %.3f s)\n", "one module by vmod-update",
                single.updateMs / 1000, single.processS);
    std::printf("%-46s %9.3f s (process %.3f s; each module %.3f to %.3f s)\n",
                "four modules by vmod-update at once", four.updateMs / 1000, four.processS,
                fourShortest / 1000, fourLongest / 1000);
    std::printf("%-46s %9.3f s\n", "one module by the dialog", dialog.Ms() / 1000);
    std::printf("%-46s %9.3f s\n", "wire time, waits and read timeouts",
                dialogTiming.minimumMs / 1000);
    std::printf("%-46s %9.3f s of %.3f s wall: %.3f %% per module\n",
                "vmod-update CPU time, four modules", four.cpuS, four.processS, cpuShare * 100);
    std::printf("%-46s %9.3f s of %.3f s wall: %.3f %%\n", "vmod-update CPU time, one module",
                single.cpuS, single.processS, single.cpuS / single.processS * 100);
    std::printf("%-46s %9ld KiB four, %ld KiB one (four ÷ one %.3f)\n",
                "vmod-update peak memory (ru_maxrss)", four.maxRssKiB, single.maxRssKiB,
                static_cast<double>(four.maxRssKiB) / static_cast<double>(single.maxRssKiB));
    std::printf("%-46s %9zu entries, bytes %s", "COM3's wire, vmod-update against the dialog",
                wire.entries, wire.bytesEqual ? "equal" : "DIFFERENT");
    if (wire.bytesEqual)
        std::printf(", %zu waits, largest difference %.3f ms at %s (%.3f ms against %.3f ms)\n",
                    wire.waits, wire.largestMs, wire.largestAt.c_str(), wire.largestToolMs,
                    wire.largestDialogMs);
    else
        std::printf(" (%s)\n", wire.firstDifference.c_str());
    if (wire.bytesEqual)
        std::printf("%-46s %9.3f ms median, %.3f ms p99; %zu waits beyond %.0f ms (%zu longer "
                    "by vmod-update, %zu by the dialog)\n",
                    "  differences of waits", Percentile(wire.differencesMs, 0.5),
                    Percentile(wire.differencesMs, 0.99), wire.toolLonger + wire.dialogLonger,
                    kWaitGoalMs, wire.toolLonger, wire.dialogLonger);
    // Two runs of the same program on the same host differ by this much: the host's share.
    const WireComparison itself = CompareWire(single.logs[0], four.logs[0]);
    if (itself.bytesEqual)
        std::printf("%-46s %9.3f ms largest, %.3f ms p99; %zu waits beyond %.0f ms\n",
                    "  vmod-update against itself (COM3, 1 and 4)", itself.largestMs,
                    Percentile(itself.differencesMs, 0.99), itself.toolLonger + itself.dialogLonger,
                    kWaitGoalMs);
    std::printf("%-46s %9zu entries, bytes %s", "the four's wires against the dialog's (worst)",
                fleetWire.entries, fleetWire.bytesEqual ? "equal" : "DIFFERENT");
    if (fleetWire.bytesEqual)
        std::printf(", largest difference %.3f ms at %s\n", fleetWire.largestMs,
                    fleetWire.largestAt.c_str());
    else
        std::printf(" (%s)\n", fleetWire.firstDifference.c_str());
    std::printf("load average at the end: %s\n", LoadAverage().c_str());

    std::printf("goals: parallel_vs_single >= %.2f, cli_vs_dialog >= %.2f, the others >= 1\n",
                kParallelGoal, kDialogGoal);
    std::printf("ratio parallel_vs_single %.3f\n", single.updateMs / four.updateMs);
    std::printf("ratio cli_vs_dialog %.3f\n", dialog.Ms() / single.updateMs);
    std::printf("ratio cpu_per_module_vs_1pct %.3f\n",
                cpuShare > 0 ? kCpuShareGoal / cpuShare : 0.0);
    // Different bytes on the wire fail the comparison whatever the waits.
    std::printf("ratio wire_wait_vs_2ms %.3f\n",
                wire.bytesEqual ? kWaitGoalMs / std::max(wire.largestMs, kLogResolutionMs) : 0.0);
    if (keep.empty())
        fs::remove_all(work, ec);
    else
        std::printf("the run's files: %s\n", work.c_str());
    return 0;
}
