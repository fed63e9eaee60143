// Runs the real version-up dialog and its download worker in process: Qt offscreen, the
// virtual clock, the serial ports wired to a stand-in module, a package made from S-record
// text, message boxes answered and recorded. Every write the worker makes is held until the
// user-interface thread has taken a look at the dialog, so the state after each
// acknowledgement (percentage, bar, buttons) is seen exactly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/versionup_dlg.h"
#include "platform/testing.h"
#include "platform/testing_ui.h"
#include "platform/winbase.h"
#include "tools/sim/backend.h"

namespace dltest {

// ---- package material --------------------------------------------------------------------------
// One S-record line with its checksum and CR LF; addressBytes 2 (S0, S1, S9), 3 or 4 (S3, S7).
std::string Record(char type, uint32_t address, int addressBytes, const std::vector<uint8_t>& data);
// An S0 header, dataRecords S3 records of perRecord bytes from address, and an S7 record.
std::string FirmwareText(int dataRecords, uint32_t address = 0, int perRecord = 16);
// Lines of a text (each ending in CR LF), without their line ends.
std::vector<std::string> Lines(const std::string& text);
// A payload file: the text as one gzip member (zlib), zero-padded to 8 bytes and encrypted
// with DES-ECB in 64 KiB chunks under the payload key.
// At each offset of flushAt (ascending) the compressor flushes: it ends its block there and
// adds an empty non-final block, which the stream decodes without delivering text.
std::vector<uint8_t> SealPayload(const std::string& text, const std::vector<size_t>& flushAt = {});
// The header's version field for a display text ("1.05" -> "825110581").
std::string PackedVersionField(const std::string& text);

struct Package {
    std::string mainText = FirmwareText(6);
    std::string bootText = FirmwareText(3, 0x10000);
    // Header counts; unset (INT32_MIN) means the text's line count + 1, so that every line of
    // the text is sent.
    int32_t mainLines = INT32_MIN;
    int32_t bootLines = INT32_MIN;
    std::string mainVersion = "1.05";
    std::string bootVersion = "1.02";
    // Raw payload files in place of the sealed texts, when not empty.
    // Offsets of the main text at which its compressed data holds an empty block.
    std::vector<size_t> mainFlushAt;
    std::vector<uint8_t> mainRaw;
    std::vector<uint8_t> bootRaw;
};

// ---- what happened -----------------------------------------------------------------------------
struct UiState {
    bool taken = false;
    std::wstring percent; // 1005
    int progress = -1;    // 1004
    bool progressShown = false;
    bool startEnabled = false;
    bool exitEnabled = false;
};

struct WorkerWrite {
    uint64_t timeMs;
    std::string bytes;
    UiState ui;                    // the dialog as the worker left it before this write
    bool afterDialogEnded = false; // made once the dialog's modal loop had returned
};

struct PortEvent {
    enum Kind { OpenFailed, Opened, Closed };
    uint64_t timeMs;
    Kind kind;
    bool workerThread;
};

// The host's sleep inhibitor as the worker took and released it.
struct InhibitEvent {
    bool taken;          // HostInhibitSleepBegin; false: HostInhibitSleepEnd
    std::wstring why;    // the reason given when taken
    size_t writesBefore; // worker writes made before it
    int rebootsBefore;   // reboots asked for before it
};

struct BoxSeen {
    vmod_testing::MessageBoxRecord record;
    uint64_t timeMs;
    bool dialogEnded;        // the dialog's modal loop had returned when the box came
    int32_t updating;        // m_bUpdating at the box; -1 once the dialog was gone
    size_t writesBefore;     // worker writes made before the box
    size_t portEventsBefore; // port events (opens, closes) before the box
};

// ---- one run -----------------------------------------------------------------------------------
class Session {
  public:
    // hostPorts: the host's ports (COMn under the device root, served by the test) in the
    // host's time, where only the protocol's long waits (a second and more: the pauses, the
    // reset and the re-open) pass ten times faster; Writes, PortEvents, workerReads and the
    // module's records then stay empty.
    explicit Session(bool hostPorts = false);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Set before Run.
    int com = 3;
    vmod_sim::Settings module;
    Package package;
    // The power driver's answer: its result and ACLineStatus.
    BOOL powerQueryResult = TRUE;
    BYTE acLineStatus = 1;
    // On the user-interface thread, in the look taken before worker write `index`.
    std::function<void(Session&, size_t index)> onWorkerWrite;
    // On the worker thread after each read it makes; bytes as handed out.
    std::function<void(Session&, const std::string& bytes)> onWorkerRead;
    // On the thread that asked for the box; its result is the box's answer.
    std::function<int(Session&, const vmod_testing::MessageBoxRecord&)> onBox;
    // Boxes are real, shown on the user-interface thread as in the program; onBox and Boxes()
    // see none of them.
    bool realBoxes = false;
    // On the user-interface thread once the module query has run, in place of one Start click.
    std::function<void(Session&)> start;
    // Once the worker has ended with the dialog still open: how the dialog is ended (default:
    // Exit when enabled, else the window's close command).
    std::function<void(Session&)> endDialog;
    // Wait for the worker inside the dialog's loop and then end the dialog (false: the test
    // ends it itself, or the worker does).
    bool endAfterWorker = true;

    // Runs the dialog until it ends, deletes it, then waits for the worker. DoModal's code.
    INT_PTR Run();

    // During Run on the user-interface thread: the dialog and its controls.
    CVersionUpDlg* Dialog() { return m_dialog; }
    HWND Control(int id) const;
    HWND DialogWindow() const { return m_hDialog; }
    UiState TakeUi() const;
    // From another thread while the dialog's loop runs: the dialog as it is now.
    UiState LookFromWorker();
    // Blocks (worker thread) until the dialog object has been deleted; false after timeoutMs
    // of real time.
    bool WaitDialogDeleted(int timeoutMs = 10000);
    bool DialogEnded() const { return m_dialogEnded.load(); }
    const std::filesystem::path& Root() const { return m_root; }

    // Results.
    std::vector<WorkerWrite> Writes();
    std::vector<PortEvent> PortEvents();
    std::vector<BoxSeen> Boxes();
    std::vector<InhibitEvent> Inhibits();
    // What HostInhibitSleepBegin answers: FALSE is a host without an inhibitor.
    BOOL inhibitorPresent = TRUE;
    int workerReads() const { return m_workerReads.load(); }
    int reboots = 0;
    bool rebootWhileDialogUp = false;
    uint64_t startMs = 0; // virtual time of the Start click

    vmod_sim::SimBackend sim;
    // Engine facts, looked at after Run.
    const vmod_sim::Engine& Module() { return *sim.EngineAt(com); }
    std::vector<std::string> Commands();
    std::vector<vmod_sim::LineRecord> ModuleLines(vmod_sim::Pass pass);

    // Used by the port wrapper.
    void OnWrite(const std::string& bytes);
    void OnRead(const std::string& bytes);
    void OnPort(PortEvent::Kind kind);

  private:
    class Backend;
    void WritePackage();

    std::filesystem::path m_root;
    bool m_hostPorts;
    std::string m_oldRoot;
    bool m_hadOldRoot = false;
    std::unique_ptr<vmod_testing::Clock> m_clock;
    std::unique_ptr<Backend> m_backend;
    std::thread::id m_uiThread;

    std::mutex m_mutex; // guards the records and the dialog's lifetime against the answerer
    std::condition_variable m_changed;
    std::vector<WorkerWrite> m_writes;
    std::vector<PortEvent> m_ports;
    std::vector<BoxSeen> m_boxes;
    std::vector<InhibitEvent> m_inhibits;
    std::atomic<int> m_workerReads{0};
    std::mutex m_lifeMutex; // guards the dialog object's lifetime against the answerer
    std::condition_variable m_lifeChanged;
    CVersionUpDlg* m_dialog = nullptr;
    HWND m_hDialog = nullptr;
    std::atomic<bool> m_dialogEnded{false};
    bool m_dialogDeleted = false;
};

// "%3d ％完了" for a percentage.
std::wstring PercentText(int percent);

} // namespace dltest
