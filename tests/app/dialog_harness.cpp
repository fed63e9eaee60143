#include "tests/app/dialog_harness.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace vmod_apptest {

namespace {

// The test program's one application object, as the shipped program has its own.
CVersionUpApp theApp;

// The dialog as the program builds it, with a look at its state the moment the real
// OnInitDialog has returned to the framework.
} // namespace

class HarnessDlg : public CVersionUpDlg {
  public:
    explicit HarnessDlg(DialogSession& session) : m_session(session) {}

    // The exit command and Escape both end the dialog through here.
    void OnCancel() override {
        m_session.m_alive->cancelSeen = true;
        CVersionUpDlg::OnCancel();
    }

  protected:
    BOOL OnInitDialog() override {
        BOOL result = CVersionUpDlg::OnInitDialog();
        m_session.initState = m_session.Take(GetSafeHwnd());
        if (m_session.afterInit) {
            m_session.afterInit(*this, result);
        }
        return result;
    }

  private:
    DialogSession& m_session;
};

namespace {

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Field(const std::string& text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, '\0');
    return out;
}

class RecordingPort : public vmod_testing::SerialPort {
  public:
    RecordingPort(WireRecorder& recorder, int com, std::unique_ptr<vmod_testing::SerialPort> inner)
        : m_recorder(recorder), m_com(com), m_inner(std::move(inner)) {}
    ~RecordingPort() override {
        m_recorder.Add({vmod_testing::NowMs(), m_com, WireEvent::Closed, {}, 0, 0});
    }
    size_t Write(const uint8_t* data, size_t count) override {
        m_recorder.Add({vmod_testing::NowMs(), m_com, WireEvent::Write,
                        std::string(reinterpret_cast<const char*>(data), count), 0, 0});
        return m_inner->Write(data, count);
    }
    size_t Read(uint8_t* out, size_t max) override {
        size_t got = m_inner->Read(out, max);
        m_recorder.Add({vmod_testing::NowMs(), m_com, WireEvent::Read,
                        std::string(reinterpret_cast<const char*>(out), got), max, 0});
        return got;
    }
    bool Gone() override { return m_inner->Gone(); }
    void Configure(uint32_t baud, int dataBits, int parity, int stopBits) override {
        m_inner->Configure(baud, dataBits, parity, stopBits);
    }
    void Purge(DWORD flags) override {
        m_recorder.Add({vmod_testing::NowMs(), m_com, WireEvent::Purge, {}, 0, flags});
        m_inner->Purge(flags);
    }

  private:
    WireRecorder& m_recorder;
    int m_com;
    std::unique_ptr<vmod_testing::SerialPort> m_inner;
};

class ScriptedPort : public vmod_testing::SerialPort {
  public:
    explicit ScriptedPort(const std::map<std::string, std::string>& replies) : m_replies(replies) {}
    size_t Write(const uint8_t* data, size_t count) override {
        auto it = m_replies.find(std::string(reinterpret_cast<const char*>(data), count));
        if (it != m_replies.end()) {
            m_pending += it->second;
        }
        return count;
    }
    size_t Read(uint8_t* out, size_t max) override {
        size_t n = std::min(max, m_pending.size());
        std::copy_n(m_pending.begin(), n, out);
        m_pending.erase(0, n);
        return n;
    }
    bool Gone() override { return false; }

  private:
    const std::map<std::string, std::string>& m_replies;
    std::string m_pending;
};

} // namespace

std::string PackedVersionField(const std::string& text) {
    uint32_t value = 0;
    for (unsigned char c : text) {
        value = (value << 8) | c;
    }
    return std::to_string(static_cast<int32_t>(value));
}

vmod_sim::Settings Firmware(const std::string& version) {
    vmod_sim::Settings settings;
    settings.firmwareVersion = version;
    return settings;
}

vmod_sim::Faults Fault(bool vmod_sim::Faults::*flag) {
    vmod_sim::Faults faults;
    faults.*flag = true;
    return faults;
}

TempDeviceRoot::TempDeviceRoot() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    m_path = std::filesystem::temp_directory_path() /
             ("vmod-app-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_path);
    const char* old = std::getenv("VMOD_ROOT");
    m_hadOld = old != nullptr;
    if (old) {
        m_old = old;
    }
    setenv("VMOD_ROOT", m_path.c_str(), 1);
}

TempDeviceRoot::~TempDeviceRoot() {
    if (m_hadOld) {
        setenv("VMOD_ROOT", m_old.c_str(), 1);
    } else {
        unsetenv("VMOD_ROOT");
    }
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::filesystem::path TempDeviceRoot::PackageDir() const {
    return m_path / "Program Files" / "V-MOD VersionUp Tool";
}

void TempDeviceRoot::WritePackage(const PackageSpec& spec) {
    std::filesystem::create_directories(PackageDir());
    // The loader does not look inside the payloads at start-up.
    WriteFile(PackageDir() / "kv615mq.data", std::string(64, '\x5a'));
    WriteFile(PackageDir() / "kv615mqb.data", std::string(32, '\xa5'));
    WriteFile(PackageDir() / "kv615mq.bin", Field(std::to_string(spec.mainLines), 8) +
                                                Field(PackedVersionField(spec.mainVersion), 12));
    WriteFile(PackageDir() / "kv615mqb.bin", Field(std::to_string(spec.bootLines), 8) +
                                                 Field(PackedVersionField(spec.bootVersion), 12));
}

std::unique_ptr<vmod_testing::SerialPort> WireRecorder::Open(int comNumber) {
    auto port = m_inner.Open(comNumber);
    Add({vmod_testing::NowMs(),
         comNumber,
         port ? WireEvent::Opened : WireEvent::OpenFailed,
         {},
         0,
         0});
    if (!port) {
        return nullptr;
    }
    return std::make_unique<RecordingPort>(*this, comNumber, std::move(port));
}

std::vector<WireEvent> WireRecorder::Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

void WireRecorder::Add(WireEvent event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(std::move(event));
}

std::vector<int> WireRecorder::OpenAttempts() {
    std::vector<int> out;
    for (const WireEvent& e : Events()) {
        if (e.kind == WireEvent::Opened || e.kind == WireEvent::OpenFailed) {
            out.push_back(e.com);
        }
    }
    return out;
}

std::vector<int> WireRecorder::OpenedPorts() {
    std::vector<int> out;
    for (const WireEvent& e : Events()) {
        if (e.kind == WireEvent::Opened) {
            out.push_back(e.com);
        }
    }
    return out;
}

void ScriptedBackend::Script(int comNumber, std::map<std::string, std::string> replies) {
    m_scripts[comNumber] = std::move(replies);
}

std::unique_ptr<vmod_testing::SerialPort> ScriptedBackend::Open(int comNumber) {
    auto it = m_scripts.find(comNumber);
    if (it == m_scripts.end()) {
        return nullptr;
    }
    return std::make_unique<ScriptedPort>(it->second);
}

DialogSession::DialogSession(vmod_testing::SerialBackend* backend)
    : DialogSession(backend, false) {}

DialogSession::DialogSession(HostSerialPorts) : DialogSession(nullptr, true) {}

DialogSession::DialogSession(vmod_testing::SerialBackend* backend, bool hostPorts)
    : wire(std::make_unique<WireRecorder>(backend ? *backend : sim)),
      m_clock(vmod_testing::MakeVirtualClock(1000)), m_alive(std::make_shared<Alive>()) {
    vmod_testing::EnsureUserInterface();
    vmod_testing::SetClock(m_clock.get());
    vmod_testing::SetSerialBackend(hostPorts ? nullptr : wire.get());
    std::shared_ptr<Alive> alive = m_alive;
    vmod_testing::SetMessageBoxAnswerer([this, alive](const vmod_testing::MessageBoxRecord& r) {
        BoxSeen seen{r, Take(m_dialog), wire->Events().size(), false};
        size_t index = boxes.size();
        boxes.push_back(seen);
        // A task posted now runs after everything queued before it. If the program posted its
        // exit command before this box, the dialog has ended by the time the task runs.
        vmod_testing::PostToUi([this, alive, index] {
            if (!alive->sessionGone && Ending() && index < boxes.size()) {
                boxes[index].exitPostedBefore = true;
            }
        });
        return IDOK;
    });
    vmod_testing::SetDialogShownHook([this](CDialog* dialog) { OnShown(dialog); });
}

DialogSession::~DialogSession() {
    vmod_testing::ProcessMessages();
    m_alive->modalRunning = false;
    m_alive->sessionGone = true;
    vmod_testing::SetDialogShownHook({});
    vmod_testing::SetMessageBoxAnswerer({});
    vmod_testing::SetSerialBackend(nullptr);
    vmod_testing::SetClock(nullptr);
}

// An ended dialog is hidden at once, even while its loop still finishes the current batch.
bool DialogSession::Ending() const {
    return m_alive->Ending() || !vmod_testing::IsShown(m_dialog);
}

Snapshot DialogSession::Take(HWND dialog) {
    using namespace vmod_testing;
    Snapshot s;
    s.taken = true;
    s.dialogShown = IsShown(dialog);
    s.title = WindowText(dialog);
    s.model = WindowText(GetDlgItem(dialog, IDC_EDIT_MODEL));
    s.current = WindowText(GetDlgItem(dialog, IDC_EDIT_CURRENT_VERSION));
    s.newVersion = WindowText(GetDlgItem(dialog, IDC_EDIT_NEW_VERSION));
    s.notice = WindowText(GetDlgItem(dialog, IDC_EDIT_NOTICE));
    s.startEnabled = IsEnabled(GetDlgItem(dialog, IDC_BUTTON_START));
    s.exitEnabled = IsEnabled(GetDlgItem(dialog, IDC_BUTTON_EXIT));
    s.spareShown = IsShown(GetDlgItem(dialog, IDC_LIST_SPARE));
    s.noticeShown = IsShown(GetDlgItem(dialog, IDC_EDIT_NOTICE));
    s.busyCursor = BusyCursorShown();
    s.openAttempts = wire->OpenAttempts().size();
    s.timeMs = NowMs();
    return s;
}

void DialogSession::Capture(CVersionUpDlg& dialog) {
    strModel = dialog.m_strModel;
    strCurrentVersion = dialog.m_strCurrentVersion;
    strModuleVersion = dialog.m_strModuleVersion;
    strModuleBootVersion = dialog.m_strModuleBootVersion;
    nPort = dialog.m_nPort;
}

void DialogSession::OnShown(CDialog* dialog) {
    ++shownCount;
    if (shownCount > 1) {
        return; // a nested dialog of a test; the first one is the program's
    }
    m_dialog = dialog->GetSafeHwnd();
    m_alive->modalRunning = true;
    shown = Take(m_dialog);
    startMs = shown.timeMs;
    auto* versionUp = dynamic_cast<CVersionUpDlg*>(dialog);
    std::shared_ptr<Alive> alive = m_alive;
    // Queued behind the module query that OnInitDialog posted: runs once it has returned.
    vmod_testing::PostToUi([this, alive, versionUp] {
        if (alive->sessionGone || !alive->modalRunning) {
            return;
        }
        afterQuery = Take(m_dialog);
        wireEventsAfterQuery = wire->Events().size();
        if (versionUp) {
            Capture(*versionUp);
            if (whileOpen) {
                whileOpen(*versionUp);
            }
        }
        // Queued behind whatever the program posted meanwhile: if the dialog is still up,
        // the program did not end itself, and the test ends it.
        vmod_testing::PostToUi([this, alive] {
            if (alive->sessionGone || Ending()) {
                return;
            }
            endedByItself = false;
            PostMessageW(m_dialog, WM_COMMAND, ID_APP_EXIT, 0);
        });
    });
}

BOOL DialogSession::RunApp() {
    BOOL result = theApp.InitInstance();
    m_alive->modalRunning = false;
    vmod_testing::ProcessMessages();
    return result;
}

INT_PTR DialogSession::RunDialog() {
    HarnessDlg dialog(*this);
    CWinApp* app = AfxGetApp();
    app->m_pMainWnd = &dialog;
    INT_PTR code = dialog.DoModal();
    app->m_pMainWnd = nullptr;
    m_alive->modalRunning = false;
    vmod_testing::ProcessMessages();
    return code;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace vmod_apptest
