// vmod-update: the module update without a window, for scripts, test benches and fleet
// managers. One module on a named port, several at once, or every module the scan finds; the
// same identification, package check and download as the dialog, one verdict per module, an
// exit status a script can act on.
#include <strings.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "cli/fleet.h"
#include "cli/report.h"
#include "module/module_protocol.h"
#include "package/firmware_package.h"
#include "platform/catalog.h"
#include "platform/console.h"
#include "platform/device_root.h"
#include "platform/port_access.h"
#include "platform/winbase.h"
#include "tools/common/cli_help.h"

namespace {

// Exit statuses, as --help and the manual page list them.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNotFound = 3;
constexpr int kExitUnopenable = 4;
constexpr int kExitPackageRefused = 5;
constexpr int kExitFailed = 6;
constexpr int kExitPartial = 7;
constexpr int kExitBattery = 8;
constexpr int kExitInterrupted = 130;

// A second Ctrl-C within this long of the first stops the updates that are writing.
constexpr uint64_t kSecondInterruptMs = 5000;

std::string Format(const char* format, const std::string& a, const std::string& b = {}) {
    char buffer[2048];
    std::snprintf(buffer, sizeof buffer, format, a.c_str(), b.c_str());
    return buffer;
}

// The catalogs: beside the program (BIN/../share/locale, in the build tree and in an
// install), else where the build put them.
void SetUpLanguage() {
    wchar_t self[4096];
    std::string dir = VMOD_LOCALE_DIR;
    if (GetModuleFileNameW(nullptr, self, 4096) > 0) {
        std::filesystem::path beside =
            std::filesystem::path(Narrow(self)).parent_path().parent_path() / "share" / "locale";
        std::error_code ec;
        if (std::filesystem::exists(beside / "ja" / "LC_MESSAGES" / "vmod-update.mo", ec))
            dir = beside.string();
    }
    CatalogOpen("vmod-update", dir.c_str());
}

// "COM3" (any case) or a device path; 0 when it leads to no port.
int ComNumberOf(const std::string& name) {
    if (name.size() > 3 && strncasecmp(name.c_str(), "COM", 3) == 0 &&
        std::all_of(name.begin() + 3, name.end(), ::isdigit)) {
        const long n = std::strtol(name.c_str() + 3, nullptr, 10);
        return n >= 1 && n <= 255 ? static_cast<int>(n) : 0;
    }
    return HostComNumberOf(Wide(name).c_str());
}

bool OnExternalPower() {
    SYSTEM_POWER_STATUS_EX2 status = {};
    return GetSystemPowerStatusEx2(&status, sizeof status, TRUE) != 0 &&
           status.ACLineStatus == AC_LINE_ONLINE;
}

// Both images read whole as the download reads them; empty when sound, else why not.
std::string PackageProblem() {
    PackageCheckFault fault;
    if (CheckPackage(true, nullptr, nullptr, &fault) == PayloadCheckResult::Sound)
        return std::string();
    const uint32_t line = fault.report.line;
    return std::string(fault.image) + " image" +
           (line > 0 ? ", line " + std::to_string(line) : "") + ": " + fault.report.problem;
}

// Every module of COM1..COM49 as the dialog's scan finds them, each port left open on its
// module; refused: the ports the host refused on the way.
// openLog: the module's wire log, or nullptr. The found module's exchanges of the scan (from its
// model query on) go into it.
void ScanAll(Fleet& fleet, Reporter& reporter, bool skipCurrent, std::vector<RefusedPort>* refused,
             const std::function<FILE*(int com)>& openLog, uint64_t startMs) {
    class Collect : public IdentifyEvents, public CRs232cReport {
      public:
        std::vector<RefusedPort> refused;
        struct Wire {
            uint64_t ms;
            bool sent;
            std::string bytes;
        };
        std::vector<Wire> wire; // of the port probed last
        void OnNotFound(const std::vector<RefusedPort>& r) override { refused = r; }
        void OnPortMessage(const EngineMessage&) override {}
        void OnWire(bool sent, const BYTE* bytes, DWORD count) override {
            if (sent && count >= kCmdModelQueryLength &&
                std::memcmp(bytes, kCmdModelQuery, kCmdModelQueryLength) == 0)
                wire.clear();
            wire.push_back(
                {SteadyMs(), sent, std::string(reinterpret_cast<const char*>(bytes), count)});
        }
    };
    for (int next = kFirstProbePort; next <= kLastProbePort;) {
        auto m = std::make_unique<Module>();
        Collect scan;
        m->port.SetReport(&scan);
        const BOOL found = IdentifyModule(m->port, next, kLastProbePort,
                                          g_firmwarePackage.mainVersionText, scan, &m->identity);
        m->port.SetReport(nullptr);
        if (!found) {
            refused->insert(refused->end(), scan.refused.begin(), scan.refused.end());
            return;
        }
        m->com = m->identity.port;
        m->name = "COM" + std::to_string(m->com);
        m->device = Narrow(HostComDevice(m->com));
        if ((m->log = openLog(m->com)) != nullptr) {
            for (const auto& w : scan.wire)
                LogWire(m->log, w.ms - startMs, w.sent,
                        reinterpret_cast<const BYTE*>(w.bytes.data()),
                        static_cast<DWORD>(w.bytes.size()));
        }
        reporter.Identified(*m);
        Decide(*m, skipCurrent);
        reporter.Decided(*m);
        next = m->com + 1;
        fleet.modules.push_back(std::move(m));
    }
}

// The status for the modules' verdicts: 0 when every one ended as asked; with some updated and
// some not, "partial"; otherwise the gravest failure.
int StatusOf(const std::vector<const Module*>& modules) {
    int ok = 0, updated = 0;
    int worst = kExitOk;
    auto rank = [](int status) {
        switch (status) {
        case kExitFailed:
            return 4;
        case kExitPackageRefused:
            return 3;
        case kExitUnopenable:
            return 2;
        case kExitNotFound:
            return 1;
        }
        return 0;
    };
    for (const Module* m : modules) {
        int status = kExitOk;
        switch (m->verdict) {
        case Verdict::Updated:
            ++updated;
            [[fallthrough]];
        case Verdict::Current:
        case Verdict::Checked:
            ++ok;
            continue;
        case Verdict::RefusedOlder:
        case Verdict::PackageRefused:
            status = kExitPackageRefused;
            break;
        case Verdict::NotFound:
            status = kExitNotFound;
            break;
        case Verdict::Unopenable:
            status = kExitUnopenable;
            break;
        case Verdict::Interrupted:
            return kExitInterrupted;
        default:
            status = kExitFailed;
            break;
        }
        if (rank(status) > rank(worst))
            worst = status;
    }
    if (worst == kExitOk)
        return kExitOk;
    return updated > 0 ? kExitPartial : worst;
}

const char kExitStatuses[] = R"(Exit status:
  0    every module ended updated (or already current with --skip-current; identified with --check)
  2    usage error
  3    no module found
  4    a port could not be opened (permission, another program holds it)
  5    package refused (damaged, or older than a module's firmware)
  6    an update failed
  7    some modules updated and some not
  8    the host is not on external power
  130  interrupted)";

} // namespace

int main(int argc, char** argv) {
    SetUpLanguage();

    CLI::App app{Tr("Updates the firmware of KV615MQ modules on serial ports, without a window.")};
    vmod_cli::SetHelpLayout(
        &app,
        std::string(Tr("Usage: vmod-update (--port PORT ... | --all) [OPTION...]\n"
                       "       vmod-update check (--port PORT ... | --all) "
                       "[OPTION...]\n")),
        30);
    app.footer(Tr(kExitStatuses));
    std::vector<std::string> ports;
    bool all = false, check = false, json = false, skipCurrent = false, reboot = false;
    std::string packageDir, logDir;
    int jobs = 0;
    app.add_option("-p,--port", ports,
                   Tr("a module's port: COMn, or a device path (/dev/ttyUSB0, a "
                      "/dev/serial/by-id or by-path name); repeatable"));
    app.add_flag("-a,--all", all, Tr("every port where a KV615MQ answers (COM1 to COM49)"));
    app.add_option("--package", packageDir,
                   Tr("the folder with the four package files (default: where the dialog reads "
                      "them)"))
        ->check(CLI::ExistingDirectory);
    app.add_flag("--check", check,
                 Tr("check the package and identify the modules; say what an update would do, "
                    "send nothing else"));
    auto* checkVerb = app.add_subcommand("check", Tr("the same as --check"));
    checkVerb->fallthrough(); // the options may follow the verb
    app.add_option("-j,--jobs", jobs, Tr("update at most N modules at once (default: all)"))
        ->check(CLI::PositiveNumber);
    app.add_flag("--json", json, Tr("one JSON object per line on standard output for every event"));
    app.add_flag("--skip-current", skipCurrent,
                 Tr("leave a module that is already at the package's version alone"));
    app.add_flag("--reboot", reboot, Tr("restart the host once every module has ended updated"));
    app.add_option("--log", logDir,
                   Tr("write every byte sent to and read from each module to DIR/COMn.log"))
        ->check(CLI::ExistingDirectory);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        app.exit(e);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        // A script that asked for JSON gets the error as JSON too.
        const bool jsonAsked = std::any_of(argv + 1, argv + argc,
                                           [](const char* a) { return !std::strcmp(a, "--json"); });
        Reporter(jsonAsked, false, stdout, nullptr).End("usage", e.what(), kExitUsage);
        return kExitUsage;
    }
    check = check || checkVerb->parsed();
    Reporter reporter(json, ConsoleIsTerminal(stderr), stdout, stderr);
    if (ports.empty() == !all)
        return reporter.End("usage", Tr("name the modules with --port, or use --all"), kExitUsage);
    const uint64_t startMs = SteadyMs();

    std::wstring failed;
    if (packageDir.empty())
        packageDir = DeviceToHostPath(L"\\Program Files\\V-MOD VersionUp Tool");
    if (!LoadPackageFrom(Wide(packageDir), &failed))
        return reporter.End("package-unreadable",
                            Format(Tr("cannot read the package: %s"), Narrow(failed)),
                            kExitPackageRefused);
    if (std::string problem = PackageProblem(); !problem.empty())
        return reporter.End(
            "package-refused",
            Format(Tr("the package cannot be sent whole and sound (%s); nothing was sent"),
                   problem),
            kExitPackageRefused);
    if (!check && !OnExternalPower())
        return reporter.End("battery",
                            Format(Tr("the host is not on external power: %s"),
                                   Narrow(L"ACアダプタに接続してください")),
                            kExitBattery);

    ConsoleCatchStops();

    auto openLog = [&logDir](int com) -> FILE* {
        if (logDir.empty() || com == 0)
            return nullptr;
        return std::fopen((logDir + "/COM" + std::to_string(com) + ".log").c_str(), "w");
    };
    Fleet fleet;
    std::vector<RefusedPort> refused;
    if (all) {
        ScanAll(fleet, reporter, skipCurrent, &refused, openLog, startMs);
        // Ports with a device that did not answer as a module: the user may be looking at one.
        for (int n = kFirstProbePort; n <= kLastProbePort && !fleet.modules.empty(); ++n) {
            const std::string device = Narrow(HostComDevice(n));
            bool known = device.empty();
            for (const auto& m : fleet.modules)
                known = known || m->com == n;
            for (const RefusedPort& r : refused)
                known = known || r.port == n;
            if (!known)
                reporter.Say(
                    Format(Tr("%s: no KV615MQ answered (%s)"), "COM" + std::to_string(n), device));
        }
    } else {
        std::map<int, std::string> seen;
        for (const std::string& name : ports) {
            auto m = std::make_unique<Module>();
            m->name = name;
            m->com = ComNumberOf(name);
            if (m->com != 0 && !seen.emplace(m->com, name).second)
                return reporter.End("usage",
                                    Format(Tr("%s and %s are the same port"), seen[m->com], name),
                                    kExitUsage);
            m->log = openLog(m->com);
            fleet.modules.push_back(std::move(m));
        }
        std::vector<std::thread> identifying;
        for (auto& m : fleet.modules)
            identifying.emplace_back(IdentifyOne, std::ref(*m), skipCurrent, std::ref(reporter),
                                     startMs);
        for (auto& t : identifying)
            t.join();
    }
    if (ConsoleInterrupts() + ConsoleTerminations() > 0) {
        for (auto& m : fleet.modules) {
            if (m->verdict == Verdict::Pending) {
                m->port.Close();
                m->verdict = Verdict::Interrupted;
                reporter.Ended(*m);
            }
        }
    }
    if (fleet.modules.empty()) {
        std::string probed;
        for (int n = kFirstProbePort; n <= kLastProbePort; ++n) {
            std::string device = Narrow(HostComDevice(n));
            if (!device.empty())
                probed += (probed.empty() ? "" : ", ") + ("COM" + std::to_string(n)) + " (" +
                          device + ")";
        }
        std::string text = Format(Tr("no KV615MQ found on COM1 to COM49; ports probed: %s"),
                                  probed.empty() ? Tr("none") : probed);
        for (const RefusedPort& r : refused)
            text += "\n  COM" + std::to_string(r.port) + " (" + Narrow(r.refusal.device) + "): " +
                    (r.refusal.reason == PORT_REFUSED_BUSY
                         ? Tr("another program holds it")
                         : Tr("permission denied (join the group that owns the device)"));
        return reporter.End(refused.empty() ? "not-found" : "unopenable", text,
                            refused.empty() ? kExitNotFound : kExitUnopenable);
    }

    // Who goes on to be written.
    std::vector<Module*> due;
    for (auto& m : fleet.modules) {
        if (m->verdict != Verdict::Pending)
            continue;
        if (check || m->action == Action::RefusedOlder || m->action == Action::AlreadyCurrent) {
            m->port.Close();
            m->verdict = check ? (m->action == Action::RefusedOlder ? Verdict::RefusedOlder
                                                                    : Verdict::Checked)
                               : (m->action == Action::RefusedOlder ? Verdict::RefusedOlder
                                                                    : Verdict::Current);
            reporter.Ended(*m);
            continue;
        }
        due.push_back(m.get());
    }
    std::vector<const Module*> bars(due.begin(), due.end());
    reporter.ShowBars(bars);
    fleet.SetJobs(jobs > 0 ? jobs : static_cast<int>(std::max<size_t>(due.size(), 1)));
    std::vector<std::thread> updating;
    for (Module* m : due) {
        updating.emplace_back(UpdateOne, std::ref(fleet), std::ref(*m), std::ref(reporter),
                              startMs);
    }

    // Ctrl-C while nothing is written ends at once; while a module is written the first one
    // warns, and a second within a few seconds (or SIGTERM) stops every update as Exit does.
    int interruptsSeen = 0;
    uint64_t firstInterruptMs = 0;
    bool interrupted = false;
    for (;;) {
        bool running = false;
        for (Module* m : due)
            running = running || m->verdict == Verdict::Pending;
        if (!running)
            break;
        const int interrupts = ConsoleInterrupts();
        if (interrupts > interruptsSeen || ConsoleTerminations() > 0) {
            std::string writing;
            for (Module* m : due)
                if (m->writing && m->verdict == Verdict::Pending)
                    writing += (writing.empty() ? "" : ", ") + m->name;
            const bool again =
                interruptsSeen > 0 && SteadyMs() - firstInterruptMs <= kSecondInterruptMs;
            if (!writing.empty() && !again && ConsoleTerminations() == 0) {
                firstInterruptMs = SteadyMs();
                reporter.Say(Format(Tr("%s would be left unusable if stopped now; press Ctrl-C "
                                       "again within 5 s to stop anyway"),
                                    writing));
            } else if (!fleet.stop.load()) {
                interrupted = true;
                fleet.stop = true;
                fleet.Wake();
                reporter.Say(Tr("stopping every update after the line in flight"));
            }
            interruptsSeen = interrupts;
        }
        Sleep(50);
    }
    for (auto& t : updating)
        t.join();
    for (auto& m : fleet.modules)
        if (m->log)
            std::fclose(m->log);

    std::vector<const Module*> everyone;
    bool restartDue = false, allUpdated = true;
    for (auto& m : fleet.modules) {
        everyone.push_back(m.get());
        restartDue = restartDue || m->restartDue;
        allUpdated = allUpdated && m->verdict == Verdict::Updated;
    }
    int status = interrupted ? kExitInterrupted : StatusOf(everyone);
    const bool restarting = reboot && restartDue && allUpdated && status == kExitOk;
    reporter.Summary(everyone, status, restartDue, restarting);
    if (restarting) {
        HostPrepareReboot();
        ExitWindowsEx(EWX_REBOOT, 0);
    }
    return status;
}
