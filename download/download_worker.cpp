#include "download/download_worker.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>

#include "download/download_protocol.h"
#include "download/payload_check.h"
#include "module/port_refusal.h"
#include "module/reply.h"
#include "package/firmware_package.h"
#include "payload/payload_stream.h"
#include "platform/inhibit.h"
#include "platform/winbase.h"
#include "platform/winuser.h"

struct CDownloadLink::Shared {
    std::mutex mutex;
    bool dialogAlive = true; // false once the dialog's link is destroyed
    bool started = false;
    DownloadDialogFields fields;
};

CDownloadLink::CDownloadLink() : m_shared(std::make_shared<Shared>()) {}

CDownloadLink::~CDownloadLink() {
    DialogEnded();
}

void CDownloadLink::DialogEnded() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->dialogAlive = false;
    m_shared->fields = DownloadDialogFields{};
}

BOOL CDownloadLink::StartWorker(const DownloadDialogFields& fields, int priority) {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->started)
            return FALSE;
        m_shared->started = true;
        m_shared->fields = fields;
    }
    auto* handOver = new std::shared_ptr<Shared>(m_shared);
    if (AfxBeginThread(DownloadWorker, handOver, priority) == nullptr) {
        delete handOver;
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->started = false;
        return FALSE;
    }
    return TRUE;
}

BOOL CDownloadLink::WorkerStarted() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->started ? TRUE : FALSE;
}

namespace {

// The host stays awake from the download's start until the reboot is asked for or the
// download ends early; a host without an inhibitor simply has none.
class SleepInhibition {
  public:
    SleepInhibition() { HostInhibitSleepBegin(kTextInhibitReason); }
    ~SleepInhibition() { Release(); }
    SleepInhibition(const SleepInhibition&) = delete;
    SleepInhibition& operator=(const SleepInhibition&) = delete;
    // Lets the host sleep and shut down again; only the first call acts.
    void Release() {
        if (m_held) {
            m_held = false;
            HostInhibitSleepEnd();
        }
    }

  private:
    bool m_held = true;
};

// How a pass of the line loop ended.
enum class PassEnd {
    Down,    // the module answered the end marker with "DOWN"
    Aborted, // Exit asked for it, or the dialog has ended
    Damaged, // the image cannot be sent as the payload holds it
    Silent,  // no "." within kAckLimitMs of the last write
    Gone,    // a read or write on the port failed: its device has vanished
};

// The parameters that tell the two passes apart.
struct PassPlan {
    const char* name;        // of the image, for the diagnostics
    int32_t lineCount;       // from the package header; at least 1
    int32_t firstNumerator;  // 100 x the number of the pass's first line over both passes
    DWORD endWaitMs;         // after the end marker
    DWORD endReadSize;       // of the reply to the end marker
    bool clearBeforeEndRead; // the whole reply area is zeroed before that read
    uint32_t imageSize;      // bounds the reads that may come back empty
};

class Worker {
  public:
    explicit Worker(std::shared_ptr<CDownloadLink::Shared> shared) : m_shared(std::move(shared)) {}

    UINT Run();

  private:
    UINT RunTakenOver();
    // ---- the dialog's fields, each access under the link's lock -----------------------------
    bool TakeOverDialog();
    void SetUpdating(int32_t value);
    void SetProgressTotal(int32_t value);
    bool AbortRequested();

    // ---- steps -----------------------------------------------------------------------------
    bool CountsUsable(bool bootPass) const;
    bool PackageSendable(bool bootPass, UINT* code);
    bool DownloadCommandConfirmed(const char* command, DWORD length, DWORD waitMs, DWORD readSize,
                                  LPCWSTR expected);
    UINT BootPass();
    bool Reopen(UINT* code);
    UINT MainPass();
    PassEnd StreamImage(const PassPlan& plan);
    bool PrepareLine(size_t text, DWORD* length);
    void ShowProgress(int32_t numerator);
    void SetPercentText(int percent);
    void ReadReply(DWORD max);
    UINT Complete();
    UINT EndDamaged();
    UINT EndUnanswered(PassEnd end, const PassPlan& plan);
    UINT EndUnopenable(UINT code);
    void PostAppExit();

    std::shared_ptr<CDownloadLink::Shared> m_shared;
    SleepInhibition* m_inhibition = nullptr; // held while Run runs
    CRs232c m_port;
    HWND m_hProgress = nullptr;
    HWND m_hPercent = nullptr;
    HWND m_hExit = nullptr;
    double m_bootVersion = 0.0;
    int32_t m_nPort = 0;
    int32_t m_progressTotal = 0;

    BYTE m_reply[kReplyAreaSize] = {};
    BYTE m_send[kSendAreaSize] = {};
    PayloadLineReader m_lines;
    BYTE m_previousPrefix[kPrefixCopySize] = {};
    bool m_prefixChanged = false;
    uint32_t m_linesSent = 0;
    uint32_t m_bootLinesSent = 0;
};

bool Worker::TakeOverDialog() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (!m_shared->dialogAlive)
        return false;
    const DownloadDialogFields& f = m_shared->fields;
    m_port = std::move(*f.rs232c);
    f.bAbort->store(0);
    f.bUpdating->store(1);
    m_hProgress = f.hProgress;
    m_hPercent = f.hPercent;
    m_hExit = f.hExit;
    m_nPort = *f.nPort;
    // An empty or unreadable text gives 0.0, so such a module gets the boot block.
    m_bootVersion = wcstod_c(*f.strModuleBootVersion, nullptr);
    return true;
}

void Worker::SetUpdating(int32_t value) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->dialogAlive)
        m_shared->fields.bUpdating->store(value);
}

void Worker::SetProgressTotal(int32_t value) {
    m_progressTotal = value;
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->dialogAlive)
        *m_shared->fields.nProgressTotal = value;
}

bool Worker::AbortRequested() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return !m_shared->dialogAlive || m_shared->fields.bAbort->load() != 0;
}

void Worker::PostAppExit() {
    CWnd* main = AfxGetMainWnd();
    if (main)
        main->PostMessage(WM_COMMAND, ID_APP_EXIT, 0);
}

void Worker::SetPercentText(int percent) {
    wchar_t text[kPercentTextSize];
    std::swprintf(text, kPercentTextSize, kPercentFormat, percent);
    SetWindowTextW(m_hPercent, text);
}

void Worker::ReadReply(DWORD max) {
    DWORD got = m_port.Read(m_reply, max);
    m_reply[got < max ? got : max] = 0;
}

// The header's counts must leave a line to send, and the percentage's numerator over both
// images must fit its 32 bits.
bool Worker::CountsUsable(bool bootPass) const {
    const int64_t limit = INT32_MAX / kProgressStep - 1;
    int64_t main = g_firmwarePackage.mainLineCount;
    int64_t boot = bootPass ? g_firmwarePackage.bootLineCount : 0;
    if (main < 1 || (bootPass && boot < 1))
        return false;
    return main + boot <= limit;
}

UINT Worker::Run() {
    if (!TakeOverDialog())
        return kExitCodeFailed;
    SleepInhibition inhibition;
    m_inhibition = &inhibition;
    UINT code = RunTakenOver();
    m_inhibition = nullptr;
    return code;
}

UINT Worker::RunTakenOver() {
    std::memset(m_reply, 0, sizeof m_reply);
    std::memset(m_send, 0, sizeof m_send);
    SendMessageW(m_hProgress, PBM_SETRANGE, 0, MAKELPARAM(kProgressLow, kProgressHigh));
    ShowWindow(m_hProgress, SW_SHOWNORMAL);
    SetPercentText(0);
    SetProgressTotal(g_firmwarePackage.mainLineCount);

    // 1.02 itself is the boot block the package brings: only an older one is replaced.
    bool bootPass = m_bootVersion < kBootBlockMinimumVersion;
    if (!CountsUsable(bootPass))
        return EndDamaged();
    UINT code = kExitCodeDone;
    if (!PackageSendable(bootPass, &code))
        return code;
    if (bootPass) {
        code = BootPass();
        if (code != kExitCodeDone || m_bootLinesSent == 0)
            return code;
    }
    if (!Reopen(&code))
        return code;
    return MainPass();
}

// Reads every image the passes will send, as they will read it, before the module hears a
// word: a package that would be sent only in part, or with lines the module refuses, is
// refused while the module still holds its old firmware whole. True when the passes may
// begin; otherwise the worker's ending has been carried out and *code is its exit code.
bool Worker::PackageSendable(bool bootPass, UINT* code) {
    struct Image {
        const char* name;
        bool due;
        ChunkSource source;
        int32_t lineCount;
        uint32_t size;
    };
    const Image images[] = {
        {"boot-block", bootPass, boot_chunk_source, g_firmwarePackage.bootLineCount,
         g_firmwarePackage.bootImageSize},
        {"main", true, main_chunk_source, g_firmwarePackage.mainLineCount,
         g_firmwarePackage.mainImageSize},
    };
    auto abandon = [](void* worker) { return static_cast<Worker*>(worker)->AbortRequested(); };
    PayloadCheckResult result = PayloadCheckResult::Sound;
    for (const Image& image : images) {
        if (!image.due)
            continue;
        PayloadCheckReport report;
        result =
            CheckPayloadImage(image.source, image.lineCount, image.size, abandon, this, &report);
        if (result == PayloadCheckResult::Abandoned)
            break;
        if (result != PayloadCheckResult::Sound) {
            std::string where = report.line > 0 ? ", line " + std::to_string(report.line) : "";
            std::fprintf(stderr, "vmod-versionup: %s image refused before sending%s: %s\n",
                         image.name, where.c_str(), report.problem.c_str());
            break;
        }
    }
    // The chunk sources never rewind by themselves; the passes read from the start.
    payload_read_offsets().bootReadOffset = 0;
    payload_read_offsets().mainReadOffset = 0;
    switch (result) {
    case PayloadCheckResult::Sound:
        return true;
    case PayloadCheckResult::Abandoned:
        m_port.Close();
        *code = kExitCodeFailed;
        return false;
    case PayloadCheckResult::Unopenable:
        *code = EndUnopenable(kExitCodeFailed);
        return false;
    case PayloadCheckResult::Damaged:
        break;
    }
    *code = EndDamaged();
    return false;
}

// Sends a download command and judges the module's reply. Unconfirmed, the worker posts the
// exit command and then tells the user; the exit command ends the dialog and the program
// while the box is up or right after it, so the worker sends nothing more and touches
// nothing of the dialog: it closes the port and returns false. A pass carried on here could
// never be finished and would leave the module half-written.
bool Worker::DownloadCommandConfirmed(const char* command, DWORD length, DWORD waitMs,
                                      DWORD readSize, LPCWSTR expected) {
    // A stopped update starts no pass: the module is not told to take an image.
    if (AbortRequested()) {
        m_port.Close();
        return false;
    }
    m_port.Write(reinterpret_cast<const BYTE*>(command), length);
    Sleep(waitMs);
    ReadReply(readSize);
    SetCursor(nullptr);
    if (ReplyContains(reinterpret_cast<const char*>(m_reply), expected))
        return true;
    PostAppExit();
    MessageBoxW(nullptr, kTextCheckConnection, kCaptionCaution, MB_OK);
    m_port.Close();
    payload_close();
    return false;
}

// Returns kExitCodeDone with m_bootLinesSent set when the boot block went through; any other
// ending has closed the port and is the worker's exit code (m_bootLinesSent stays 0).
UINT Worker::BootPass() {
    if (payload_open(boot_chunk_source, kPayloadChunkSize, kPayloadKeyText) != 0)
        return EndUnopenable(kExitCodeDone);
    SetProgressTotal(g_firmwarePackage.bootLineCount + g_firmwarePackage.mainLineCount);
    if (!DownloadCommandConfirmed(kCmdDownloadBoot, kCmdDownloadBootLength, kDownloadBootWaitMs,
                                  kDownloadBootReadSize, kReplyUpdate)) {
        return kExitCodeFailed;
    }
    PassPlan plan{"boot-block",  g_firmwarePackage.bootLineCount,
                  kProgressStep, kBootEndWaitMs,
                  kBootEndReadSize, false,
                  g_firmwarePackage.bootImageSize};
    PassEnd end = StreamImage(plan);
    switch (end) {
    case PassEnd::Aborted:
        // The stream stays open; the next download's open replaces it.
        m_port.Close();
        return kExitCodeFailed;
    case PassEnd::Damaged:
        return EndDamaged();
    case PassEnd::Silent:
    case PassEnd::Gone:
        return EndUnanswered(end, plan);
    case PassEnd::Down:
        break;
    }
    m_bootLinesSent = m_linesSent;
    m_port.Write(reinterpret_cast<const BYTE*>(kCmdReset), kCmdResetLength);
    Sleep(kResetWaitMs);
    payload_close();
    return kExitCodeDone;
}

// True with the port open again; otherwise the worker's ending has been carried out and
// *code is its exit code. A stopped update opens the port no more.
bool Worker::Reopen(UINT* code) {
    m_port.Close();
    payload_read_offsets().mainReadOffset = 0;
    m_prefixChanged = false;
    for (int attempt = 1; attempt <= kReopenAttempts; ++attempt) {
        if (attempt > 1)
            Sleep(kReopenRetryWaitMs);
        if (AbortRequested()) {
            *code = kExitCodeFailed;
            return false;
        }
        if (m_port.Open(m_nPort))
            return true;
    }
    // The host's refusal of the last attempt, if that is what kept the module's port shut.
    AfxMessageBoxNote(kTextReopenFailed, MB_ICONEXCLAMATION, PortRefusalLine(m_nPort));
    EnableWindow(m_hExit, TRUE);
    *code = kExitCodeDone;
    return false;
}

UINT Worker::MainPass() {
    if (payload_open(main_chunk_source, kPayloadChunkSize, kPayloadKeyText) != 0)
        return EndUnopenable(kExitCodeFailed);
    if (!DownloadCommandConfirmed(kCmdDownloadMain, kCmdDownloadMainLength, kDownloadMainWaitMs,
                                  kDownloadMainReadSize, kReplyUpdateReady)) {
        return kExitCodeFailed;
    }
    PassPlan plan{"main",
                  g_firmwarePackage.mainLineCount,
                  static_cast<int32_t>(kProgressStep * (m_bootLinesSent + 1)),
                  kMainEndWaitMs,
                  kMainEndReadSize,
                  true,
                  g_firmwarePackage.mainImageSize};
    PassEnd end = StreamImage(plan);
    switch (end) {
    case PassEnd::Aborted:
        // The stream stays open; the next download's open replaces it.
        m_port.Close();
        return kExitCodeFailed;
    case PassEnd::Damaged:
        return EndDamaged();
    case PassEnd::Silent:
    case PassEnd::Gone:
        return EndUnanswered(end, plan);
    case PassEnd::Down:
        break;
    }
    return Complete();
}

// Puts the line just read into the send area as its text and CR LF. A line the send area
// cannot take whole (text beyond the bytes copied from the line buffer), or a read that gave
// no text, is not sent: the module would program something the payload does not hold. The
// line goes with CR LF, the module's line end, whatever line end the payload gave it: a line
// end of more bytes (blank lines after it) is not sent as stray bytes.
bool Worker::PrepareLine(size_t text, DWORD* length) {
    if (!LaterLineSendable(text))
        return false;
    std::memcpy(m_send, m_lines.Text(), kLineCopySize);
    m_send[text] = kCr;
    m_send[text + 1] = kLf;
    *length = static_cast<DWORD>(text + 2);
    return true;
}

void Worker::ShowProgress(int32_t numerator) {
    int percent = numerator / m_progressTotal;
    int position = static_cast<int>(SendMessageW(m_hProgress, PBM_GETPOS, 0, 0));
    if (position != percent) {
        SendMessageW(m_hProgress, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
        SetPercentText(percent);
    }
}

PassEnd Worker::StreamImage(const PassPlan& plan) {
    // The first line goes as a fixed block: text, zero fill, CR LF at its end. A text
    // reaching into the CR LF would lose its end there, so such an image is refused.
    size_t text = m_lines.Read(plan.imageSize);
    if (!FirstLineSendable(text))
        return PassEnd::Damaged;
    std::memcpy(m_send, m_lines.Text(), kFirstBlockLength);
    m_send[kFirstBlockCrOffset] = kCr;
    m_send[kFirstBlockLfOffset] = kLf;
    std::memcpy(m_previousPrefix, m_send, kPrefixCopySize);
    m_linesSent = 1;
    int32_t numerator = plan.firstNumerator;

    m_port.Write(m_send, kFirstBlockLength);
    DWORD askedAt = GetTickCount(); // of the write whose "." is awaited
    Sleep(kFirstBlockWaitMs);

    for (;;) {
        if (AbortRequested())
            return PassEnd::Aborted;
        // Waiting on is the module's protocol up to the limit; a device that has gone will
        // never answer, however long the wait.
        if (m_port.HasFailed())
            return PassEnd::Gone;
        if (GetTickCount() - askedAt >= kAckLimitMs)
            return PassEnd::Silent;
        m_reply[0] = 0;
        m_reply[1] = 0;
        DWORD got = m_port.Read(m_reply, kAckReadSize);
        if (got != 1 || m_reply[0] != kAck)
            continue;
        ShowProgress(numerator);

        if (m_linesSent < static_cast<uint32_t>(plan.lineCount) - 1) {
            DWORD length = 0;
            if (!PrepareLine(m_lines.Read(plan.imageSize), &length))
                return PassEnd::Damaged;
            if (m_prefixChanged)
                Sleep(kPrefixChangeWaitMs);
            m_prefixChanged = std::memcmp(m_send, m_previousPrefix, kPrefixCompareSize) != 0;
            std::memcpy(m_previousPrefix, m_send, kPrefixCopySize);
            if (std::memcmp(m_send, kTerminationPrefix, kTerminationPrefixLength) == 0)
                Sleep(kTerminationWaitMs);
            numerator += kProgressStep;
            m_linesSent += 1;
            m_port.Write(m_send, length);
            askedAt = GetTickCount();
            continue;
        }

        m_port.Write(kEndMarker, kEndMarkerLength);
        askedAt = GetTickCount();
        Sleep(plan.endWaitMs);
        if (plan.clearBeforeEndRead)
            std::memset(m_reply, 0, sizeof m_reply);
        ReadReply(plan.endReadSize);
        if (ReplyContains(reinterpret_cast<const char*>(m_reply), kReplyDown))
            return PassEnd::Down;
    }
}

// The firmware is in the module: the host restarts even if the dialog has ended meanwhile,
// as the module's new settings need it.
UINT Worker::Complete() {
    SetPercentText(100);
    m_port.Close();
    AfxMessageBox(kTextCompleted, MB_ICONEXCLAMATION);
    SetUpdating(0);
    // Our own inhibitor must not hold back the reboot we ask for.
    m_inhibition->Release();
    ExitWindowsEx(EWX_REBOOT, 0);
    PostAppExit();
    return kExitCodeDone;
}

// The package cannot be sent as it is: the user is told, the module is left as it is, and
// Exit is offered as after a failed re-open.
UINT Worker::EndDamaged() {
    m_port.Close();
    payload_close();
    AfxMessageBox(kTextPayloadDamaged, MB_ICONEXCLAMATION);
    EnableWindow(m_hExit, TRUE);
    return kExitCodeFailed;
}

// The module stopped answering mid-image, or its port vanished: it holds part of an image.
// Nothing is held any longer (the port is closed, the stream too, the inhibitor goes when the
// worker returns), the user is told that the update must be run again, and Exit is offered.
UINT Worker::EndUnanswered(PassEnd end, const PassPlan& plan) {
    const bool gone = end == PassEnd::Gone;
    const unsigned long limitS = kAckLimitMs / 1000;
    if (gone)
        std::fprintf(stderr, "vmod-versionup: COM%d: the port's device has gone", m_nPort);
    else
        std::fprintf(stderr, "vmod-versionup: COM%d: no acknowledgement for %lu s", m_nPort, limitS);
    std::fprintf(stderr, " at line %u of %d of the %s image; update stopped\n", m_linesSent,
                 plan.lineCount - 1, plan.name);
    m_port.Close();
    payload_close();
    CString note;
    if (gone)
        note.Format(kNoteDeviceGone, m_nPort);
    else
        note.Format(kNoteSilent, m_nPort, limitS);
    AfxMessageBoxNote(kTextModuleNoAnswer, MB_ICONEXCLAMATION, note);
    EnableWindow(m_hExit, TRUE);
    return kExitCodeFailed;
}

// A payload stream that cannot be opened: the user is told, and Exit is offered as after the
// other endings that leave the dialog up.
UINT Worker::EndUnopenable(UINT code) {
    AfxMessageBox(kTextSystemError, MB_OK);
    m_port.Close();
    EnableWindow(m_hExit, TRUE);
    return code;
}

} // namespace

UINT DownloadWorker(LPVOID param) {
    auto* handOver = static_cast<std::shared_ptr<CDownloadLink::Shared>*>(param);
    std::shared_ptr<CDownloadLink::Shared> shared = std::move(*handOver);
    delete handOver;
    // The work areas (2 x 2051 bytes and the line buffer) live with the worker object, on the
    // heap, rather than on the thread's stack.
    auto worker = std::make_unique<Worker>(std::move(shared));
    return worker->Run();
}
