#include "cli/fleet.h"

#include <chrono>

#include "cli/report.h"
#include "module/module_protocol.h"
#include "package/firmware_package.h"
#include "platform/port_access.h"
#include "platform/winbase.h"

namespace {} // namespace

std::string Narrow(const std::wstring& text) {
    int n = text.empty()
                ? 0
                : WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    int n = text.empty() ? 0
                         : MultiByteToWideChar(CP_UTF8, 0, text.c_str(),
                                               static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Trimmed(const CString& text) {
    std::string s = Narrow(text.str());
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void LogWire(FILE* log, uint64_t sinceMs, bool sent, const BYTE* bytes, DWORD count) {
    std::string text;
    for (DWORD i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\\' || c == '"')
            text += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else
            text += static_cast<char>(c);
    }
    std::fprintf(log, "%10.3f %s \"%s\"\n", static_cast<double>(sinceMs) / 1000.0, sent ? ">" : "<",
                 text.c_str());
    std::fflush(log);
}

namespace {

// The port's reports: driver refusals become the module's reason; bytes go to its log.
class PortReport : public CRs232cReport {
  public:
    PortReport(Module& m, uint64_t startMs) : m_module(m), m_startMs(startMs) {}
    void OnPortMessage(const EngineMessage& message) override {
        m_module.reason =
            Narrow(message.caption ? std::wstring(message.caption) + L": " + message.text
                                   : std::wstring(message.text));
    }
    void OnWire(bool sent, const BYTE* bytes, DWORD count) override {
        if (m_module.log)
            LogWire(m_module.log, SteadyMs() - m_startMs, sent, bytes, count);
    }

  private:
    Module& m_module;
    uint64_t m_startMs;
};

// The download's events as vmod-update tells them.
class CliDownload : public DownloadEvents {
  public:
    CliDownload(Fleet& fleet, Module& m, Reporter& reporter, uint64_t startMs)
        : m_fleet(fleet), m_module(m), m_reporter(reporter), m_wire(m, startMs) {}

    bool StopRequested() override { return m_fleet.stop.load(); }
    void OnProgress(int32_t numerator, int32_t total) override {
        const int percent = numerator / total;
        if (percent != m_module.percent.load()) {
            m_module.percent = percent;
            m_reporter.Progress(m_module, percent);
        }
    }
    void OnFailed(DownloadOutcome outcome, const EngineMessage& message,
                  const std::string& detail) override {
        m_outcome = outcome;
        m_module.reason = detail;
        m_module.message = message.text;
        if (!message.note.IsEmpty())
            m_module.message += L"\n" + message.note.str();
    }
    void OnCompleted(const EngineMessage& message) override {
        m_outcome = DownloadOutcome::Completed;
        m_module.message = message.text;
    }
    void OnRestartDue() override { m_module.restartDue = true; }
    void OnAllSent() override {
        m_module.percent = 100;
        m_reporter.Progress(m_module, 100);
    }
    void OnPortMessage(const EngineMessage& message) override {
        m_module.reason = Narrow(message.text);
    }
    // The first byte of the download is its first command: from then on the module's
    // firmware is no longer whole until the update completes.
    void OnWire(bool sent, const BYTE* bytes, DWORD count) override {
        if (sent)
            m_module.writing = true;
        m_wire.OnWire(sent, bytes, count);
    }

    DownloadOutcome Outcome() const { return m_outcome; }

  private:
    Fleet& m_fleet;
    Module& m_module;
    Reporter& m_reporter;
    PortReport m_wire;
    DownloadOutcome m_outcome = DownloadOutcome::Stopped;
};

void End(Module& m, Verdict verdict, Reporter& reporter) {
    m.verdict = verdict;
    reporter.Ended(m);
}

} // namespace

bool Fleet::AcquireJob() {
    std::unique_lock<std::mutex> lock(mutex);
    m_changed.wait(lock, [this] { return m_free > 0 || stop.load(); });
    if (stop.load())
        return false;
    --m_free;
    return true;
}

void Fleet::ReleaseJob() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++m_free;
    }
    m_changed.notify_all();
}

void IdentifyOne(Module& m, bool skipCurrent, Reporter& reporter, uint64_t startMs) {
    if (m.com == 0) {
        m.reason = Tr("no serial port by that name");
        End(m, Verdict::NotFound, reporter);
        return;
    }
    m.device = Narrow(HostComDevice(m.com));
    PortReport report(m, startMs);
    m.port.SetReport(&report);
    IdentifyEvents quiet;
    const BOOL found =
        IdentifyModule(m.port, m.com, m.com, g_firmwarePackage.mainVersionText, quiet, &m.identity);
    m.port.SetReport(nullptr);
    if (!found) {
        PORT_REFUSAL refusal;
        if (HostGetPortRefusal(m.com, &refusal)) {
            m.device = Narrow(refusal.device);
            m.reason = refusal.reason == PORT_REFUSED_BUSY
                           ? Tr("another program holds it")
                           : Tr("permission denied (join the group that owns the device)");
            if (refusal.reason == PORT_REFUSED_PERMISSION && !refusal.group.empty())
                m.reason += ": " + Narrow(refusal.group);
            End(m, Verdict::Unopenable, reporter);
        } else {
            if (m.reason.empty())
                m.reason =
                    m.device.empty() ? Tr("no device behind the port") : Tr("no KV615MQ answered");
            End(m, Verdict::NotFound, reporter);
        }
        return;
    }
    reporter.Identified(m);
    Decide(m, skipCurrent);
    reporter.Decided(m);
}

void Decide(Module& m, bool skipCurrent) {
    const CString& package = g_firmwarePackage.mainVersionText;
    if (IsDowngrade(m.identity.currentVersion, package)) {
        m.action = Action::RefusedOlder;
        m.reason = "the package (" + Trimmed(package) + ") is older than the module's firmware (" +
                   Trimmed(m.identity.currentVersion) + ")";
    } else if (skipCurrent &&
               wcstod_c(m.identity.currentVersion, nullptr) == wcstod_c(package, nullptr)) {
        m.action = Action::AlreadyCurrent;
    } else {
        m.action = BootBlockDue(m.identity.bootVersion) ? Action::BootBlockFirst : Action::MainOnly;
    }
}

void UpdateOne(Fleet& fleet, Module& m, Reporter& reporter, uint64_t startMs) {
    if (!fleet.AcquireJob()) {
        m.port.Close();
        m.reason = Tr("stopped before its update began");
        End(m, Verdict::Interrupted, reporter);
        return;
    }
    CliDownload events(fleet, m, reporter, startMs);
    DownloadModule module;
    module.port = m.com;
    module.bootVersion = m.identity.bootVersion;
    RunDownload(std::move(m.port), module, events);
    fleet.ReleaseJob();
    switch (events.Outcome()) {
    case DownloadOutcome::Completed:
        m.reason.clear();
        End(m, Verdict::Updated, reporter);
        return;
    case DownloadOutcome::Stopped:
        m.reason = Tr("stopped by the user");
        End(m, Verdict::Interrupted, reporter);
        return;
    case DownloadOutcome::PackageDamaged:
        End(m, Verdict::PackageRefused, reporter);
        return;
    default:
        End(m, Verdict::Failed, reporter);
        return;
    }
}

const char* ActionName(Action action) {
    switch (action) {
    case Action::BootBlockFirst:
        return "boot-block-first";
    case Action::MainOnly:
        return "main-only";
    case Action::AlreadyCurrent:
        return "already-current";
    case Action::RefusedOlder:
        return "refused-older";
    case Action::None:
        break;
    }
    return "none";
}

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Updated:
        return "updated";
    case Verdict::Current:
        return "current";
    case Verdict::Checked:
        return "checked";
    case Verdict::RefusedOlder:
        return "refused-older";
    case Verdict::PackageRefused:
        return "package-refused";
    case Verdict::NotFound:
        return "not-found";
    case Verdict::Unopenable:
        return "unopenable";
    case Verdict::Failed:
        return "failed";
    case Verdict::Interrupted:
        return "interrupted";
    case Verdict::Pending:
        break;
    }
    return "pending";
}
