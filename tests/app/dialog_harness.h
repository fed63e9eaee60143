// Runs the real version-up dialog in process: Qt offscreen, the virtual clock, serial ports
// wired to stand-in modules, message boxes answered and recorded, and a look at every window
// right after start-up, at every box and once the module query has run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/versionup_app.h"
#include "app/versionup_dlg.h"
#include "platform/testing.h"
#include "platform/testing_ui.h"
#include "tools/sim/backend.h"

namespace vmod_apptest {

// The header field of a version text: the decimal number whose hexadecimal digit pairs are
// the text's character codes ("1.05" -> "825110581").
std::string PackedVersionField(const std::string& text);

// The four package files, as a package tool would have written them.
struct PackageSpec {
    std::string mainVersion = "1.05";
    std::string bootVersion = "1.02";
    int mainLines = 12;
    int bootLines = 7;
};

// A stand-in module with default settings but for its firmware version.
vmod_sim::Settings Firmware(const std::string& version);
// Faults with one flag set.
vmod_sim::Faults Fault(bool vmod_sim::Faults::*flag);

// A fresh device root (VMOD_ROOT) for one test; the previous value comes back afterwards.
class TempDeviceRoot {
  public:
    TempDeviceRoot();
    ~TempDeviceRoot();
    TempDeviceRoot(const TempDeviceRoot&) = delete;
    TempDeviceRoot& operator=(const TempDeviceRoot&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path PackageDir() const;
    void WritePackage(const PackageSpec& spec);

  private:
    std::filesystem::path m_path;
    bool m_hadOld = false;
    std::string m_old;
};

// One thing that happened on the wire, as the tool's serial calls reached the ports.
struct WireEvent {
    enum Kind { OpenFailed, Opened, Write, Read, Purge, Closed };
    uint64_t timeMs;
    int com;
    Kind kind;
    std::string bytes; // Write: what was written; Read: what was handed out
    size_t max = 0;    // Read: how many bytes the tool asked for
    DWORD purge = 0;   // Purge: the flags
};

// Passes every call through to another back end and records it.
class WireRecorder : public vmod_testing::SerialBackend {
  public:
    explicit WireRecorder(vmod_testing::SerialBackend& inner) : m_inner(inner) {}
    std::unique_ptr<vmod_testing::SerialPort> Open(int comNumber) override;

    std::vector<WireEvent> Events();
    void Add(WireEvent event);
    // Port numbers the tool tried to open, in order.
    std::vector<int> OpenAttempts();
    // Numbers whose open succeeded.
    std::vector<int> OpenedPorts();

  private:
    vmod_testing::SerialBackend& m_inner;
    std::mutex m_mutex;
    std::vector<WireEvent> m_events;
};

// A module (or anything else on a port) that answers each write with a fixed reply.
class ScriptedBackend : public vmod_testing::SerialBackend {
  public:
    // Each write of exactly `command` is answered with `reply`; other writes get nothing.
    void Script(int comNumber, std::map<std::string, std::string> replies);
    std::unique_ptr<vmod_testing::SerialPort> Open(int comNumber) override;

  private:
    std::map<int, std::map<std::string, std::string>> m_scripts;
};

// What the dialog's windows showed at one moment.
struct Snapshot {
    bool taken = false;
    bool dialogShown = false;
    std::wstring title;
    std::wstring model;        // 1000
    std::wstring current;      // 1001
    std::wstring newVersion;   // 1002
    std::wstring notice;       // 1016
    bool startEnabled = false; // 1006
    bool exitEnabled = false;  // 1007
    bool spareShown = false;   // 1003
    bool noticeShown = false;  // 1016
    bool busyCursor = false;
    size_t openAttempts = 0; // ports the tool had tried to open by then
    uint64_t timeMs = 0;
};

struct BoxSeen {
    vmod_testing::MessageBoxRecord record;
    Snapshot atBox;
    size_t wireEventsBefore = 0;   // how much had happened on the wire when it was shown
    bool exitPostedBefore = false; // the application-exit command was queued before the box
};

// DialogSession's ports are the host's serial devices under the device root ($VMOD_ROOT/dev/COMn
// links), not a back end's: the tool meets real ttys, on the virtual clock all the same.
struct HostSerialPorts {};

// One run of the dialog with its seams in place; the seams are restored on destruction.
class DialogSession {
  public:
    explicit DialogSession(vmod_testing::SerialBackend* backend = nullptr);
    explicit DialogSession(HostSerialPorts);
    ~DialogSession();
    DialogSession(const DialogSession&) = delete;
    DialogSession& operator=(const DialogSession&) = delete;

    TempDeviceRoot root;
    vmod_sim::SimBackend sim;           // the default back end: stand-in modules by port number
    std::unique_ptr<WireRecorder> wire; // with HostSerialPorts: records nothing

    // Called once the module query has run, while the dialog is still up.
    std::function<void(CVersionUpDlg&)> whileOpen;
    // Called from the overridden OnInitDialog right after the real one returned.
    std::function<void(CVersionUpDlg&, BOOL)> afterInit;

    // Runs the program's own start: the application object's InitInstance.
    BOOL RunApp();
    // Runs a dialog directly as the main window; returns DoModal's code.
    INT_PTR RunDialog();

    Snapshot initState;  // from afterInit's moment (inside OnInitDialog's caller)
    Snapshot shown;      // the dialog has been shown; OnInitDialog has returned
    Snapshot afterQuery; // the first moment after the query's handler returned
    std::vector<BoxSeen> boxes;
    int shownCount = 0;
    bool endedByItself = true; // the program ended the dialog without the test's help
    // Module state copied once the query had run.
    CString strModel, strCurrentVersion, strModuleVersion, strModuleBootVersion;
    int32_t nPort = -1;
    uint64_t startMs = 0;
    size_t wireEventsAfterQuery = 0; // how much had happened on the wire once the query ran

    Snapshot Take(HWND dialog);
    HWND DialogWindow() const { return m_dialog; }

  private:
    // Outlives the session for tasks still queued when it ends.
    struct Alive {
        bool modalRunning = false;
        bool cancelSeen = false; // the dialog's cancel command ran: it is ending
        bool sessionGone = false;
        bool Ending() const { return !modalRunning || cancelSeen; }
    };
    friend class HarnessDlg;
    DialogSession(vmod_testing::SerialBackend* backend, bool hostPorts);
    void OnShown(CDialog* dialog);
    bool Ending() const;
    void Capture(CVersionUpDlg& dialog);

    std::unique_ptr<vmod_testing::Clock> m_clock;
    std::shared_ptr<Alive> m_alive;
    HWND m_dialog = nullptr;
};

// The notice lines, in order, without their line ends.
std::vector<std::wstring> SplitLines(const std::wstring& text);

} // namespace vmod_apptest
