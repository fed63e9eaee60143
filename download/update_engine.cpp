#include "download/update_engine.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "download/download_protocol.h"
#include "download/payload_check.h"
#include "module/port_refusal.h"
#include "module/reply.h"
#include "package/firmware_package.h"
#include "payload/payload_stream.h"
#include "platform/inhibit.h"
#include "platform/winbase.h"
#include "platform/winuser.h"

namespace {

// The host stays awake while any download of the process writes a module: the first to begin
// takes the host's inhibitor, the last to end lets it go.
std::mutex g_inhibitMutex;
int g_inhibitHolders = 0;

class SleepInhibition {
  public:
    SleepInhibition() {
        std::lock_guard<std::mutex> lock(g_inhibitMutex);
        if (g_inhibitHolders++ == 0)
            HostInhibitSleepBegin(kTextInhibitReason);
    }
    ~SleepInhibition() { Release(); }
    SleepInhibition(const SleepInhibition&) = delete;
    SleepInhibition& operator=(const SleepInhibition&) = delete;
    // This download no longer holds the host awake; only the first call acts.
    void Release() {
        if (!m_held)
            return;
        m_held = false;
        std::lock_guard<std::mutex> lock(g_inhibitMutex);
        if (--g_inhibitHolders == 0)
            HostInhibitSleepEnd();
    }

  private:
    bool m_held = true;
};

// How a pass of the line loop ended.
enum class PassEnd {
    Down,    // the module answered the end marker with "DOWN"
    Aborted, // the front end asked to stop
    Damaged, // the image cannot be sent as the payload holds it
    Silent,  // no "." within kAckLimitMs of the last write
    Gone,    // a read or write on the port failed: its device has vanished
};

// The parameters that tell the two passes apart.
struct PassPlan {
    const char* name;        // of the image, for the log line
    int32_t lineCount;       // from the package header; at least 1
    int32_t firstNumerator;  // 100 x the number of the pass's first line over both passes
    DWORD endWaitMs;         // after the end marker
    DWORD endReadSize;       // of the reply to the end marker
    bool clearBeforeEndRead; // the whole reply area is zeroed before that read
    uint32_t imageSize;      // bounds the reads that may come back empty
};

EngineMessage ApplicationMessage(LPCWSTR text, UINT type, CString note = CString()) {
    return EngineMessage{true, text, nullptr, type, std::move(note)};
}

class Download {
  public:
    Download(CRs232c&& port, const DownloadModule& module, DownloadEvents& events)
        : m_events(events), m_nPort(module.port), m_bootDue(BootBlockDue(module.bootVersion)) {
        m_port = std::move(port);
        m_port.SetReport(&events);
    }

    UINT Run();

  private:
    bool CountsUsable() const;
    bool PackageSendable(UINT* code);
    bool DownloadCommandConfirmed(DownloadImage image, const char* command, DWORD length,
                                  DWORD waitMs, DWORD readSize, LPCWSTR expected);
    UINT BootPass();
    bool Reopen(UINT* code);
    UINT MainPass();
    UINT EndPass(PassEnd end, const PassPlan& plan);
    PassEnd StreamImage(const PassPlan& plan);
    bool PrepareLine(size_t text, DWORD* length);
    void SetProgressTotal(int32_t total);
    void ReadReply(DWORD max);
    UINT Complete();
    UINT EndDamaged(const std::string& detail);
    UINT EndUnopenable(UINT code);
    UINT EndUnanswered(PassEnd end, const PassPlan& plan);

    DownloadEvents& m_events;
    SleepInhibition m_inhibition;
    CRs232c m_port;
    int32_t m_nPort;
    bool m_bootDue;
    int32_t m_progressTotal = 0;

    BYTE m_reply[kReplyAreaSize] = {};
    BYTE m_send[kSendAreaSize] = {};
    PayloadLineReader m_lines;
    BYTE m_previousPrefix[kPrefixCopySize] = {};
    bool m_prefixChanged = false;
    uint32_t m_linesSent = 0;
    uint32_t m_bootLinesSent = 0;
};

void Download::SetProgressTotal(int32_t total) {
    m_progressTotal = total;
    m_events.OnProgressTotal(total);
}

void Download::ReadReply(DWORD max) {
    DWORD got = m_port.Read(m_reply, max);
    m_reply[got < max ? got : max] = 0;
}

// The header's counts must leave a line to send, and the percentage's numerator over both
// images must fit its 32 bits.
bool Download::CountsUsable() const {
    const int64_t limit = INT32_MAX / kProgressStep - 1;
    int64_t main = g_firmwarePackage.mainLineCount;
    int64_t boot = m_bootDue ? g_firmwarePackage.bootLineCount : 0;
    if (main < 1 || (m_bootDue && boot < 1))
        return false;
    return main + boot <= limit;
}

UINT Download::Run() {
    std::memset(m_reply, 0, sizeof m_reply);
    std::memset(m_send, 0, sizeof m_send);
    m_events.OnDownloadStarted();
    SetProgressTotal(g_firmwarePackage.mainLineCount);

    if (!CountsUsable())
        return EndDamaged("the header's line counts leave no line to send");
    UINT code = kExitCodeDone;
    if (!PackageSendable(&code))
        return code;
    if (m_bootDue) {
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
// begin; otherwise the download's ending has been carried out and *code is its exit code.
bool Download::PackageSendable(UINT* code) {
    auto abandon = [](void* events) {
        return static_cast<DownloadEvents*>(events)->StopRequested();
    };
    PackageCheckFault fault;
    const PayloadCheckResult result = CheckPackage(m_bootDue, abandon, &m_events, &fault);
    std::string detail;
    if (result == PayloadCheckResult::Damaged) {
        const uint32_t line = fault.report.line;
        detail = std::string(fault.image) + " image refused before sending" +
                 (line > 0 ? ", line " + std::to_string(line) : "") + ": " + fault.report.problem;
    }
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
    *code = EndDamaged(detail);
    return false;
}

// Sends a download command and judges the module's reply. Unconfirmed, the front end is told
// (the dialog posts the exit command and then shows its box; the program ends while the box is
// up or right after it), and the download sends nothing more: it closes the port and returns
// false. A pass carried on here could never be finished and would leave the module
// half-written.
bool Download::DownloadCommandConfirmed(DownloadImage image, const char* command, DWORD length,
                                        DWORD waitMs, DWORD readSize, LPCWSTR expected) {
    // A stopped update starts no pass: the module is not told to take an image.
    if (m_events.StopRequested()) {
        m_port.Close();
        return false;
    }
    m_port.Write(reinterpret_cast<const BYTE*>(command), length);
    Sleep(waitMs);
    ReadReply(readSize);
    m_events.OnCommandAnswered(image);
    if (ReplyContains(reinterpret_cast<const char*>(m_reply), expected))
        return true;
    m_events.OnFailed(DownloadOutcome::CommandUnconfirmed,
                      EngineMessage{false, kTextCheckConnection, kCaptionCaution, MB_OK, CString()},
                      std::string("the module did not confirm the ") +
                          (image == DownloadImage::Boot ? "boot-block" : "main") +
                          " download command");
    m_port.Close();
    payload_close();
    return false;
}

// Returns kExitCodeDone with m_bootLinesSent set when the boot block went through; any other
// ending has closed the port and is the download's exit code (m_bootLinesSent stays 0).
UINT Download::BootPass() {
    if (payload_open(boot_chunk_source, kPayloadChunkSize, kPayloadKeyText) != 0)
        return EndUnopenable(kExitCodeDone);
    SetProgressTotal(g_firmwarePackage.bootLineCount + g_firmwarePackage.mainLineCount);
    if (!DownloadCommandConfirmed(DownloadImage::Boot, kCmdDownloadBoot, kCmdDownloadBootLength,
                                  kDownloadBootWaitMs, kDownloadBootReadSize, kReplyUpdate)) {
        return kExitCodeFailed;
    }
    PassPlan plan{"boot-block",
                  g_firmwarePackage.bootLineCount,
                  kProgressStep,
                  kBootEndWaitMs,
                  kBootEndReadSize,
                  false,
                  g_firmwarePackage.bootImageSize};
    PassEnd end = StreamImage(plan);
    if (end != PassEnd::Down)
        return EndPass(end, plan);
    m_bootLinesSent = m_linesSent;
    m_port.Write(reinterpret_cast<const BYTE*>(kCmdReset), kCmdResetLength);
    Sleep(kResetWaitMs);
    payload_close();
    return kExitCodeDone;
}

// True with the port open again; otherwise the download's ending has been carried out and
// *code is its exit code. A stopped update opens the port no more.
bool Download::Reopen(UINT* code) {
    m_port.Close();
    payload_read_offsets().mainReadOffset = 0;
    m_prefixChanged = false;
    for (int attempt = 1; attempt <= kReopenAttempts; ++attempt) {
        if (attempt > 1)
            Sleep(kReopenRetryWaitMs);
        if (m_events.StopRequested()) {
            *code = kExitCodeFailed;
            return false;
        }
        if (m_port.Open(m_nPort))
            return true;
    }
    // The host's refusal of the last attempt, if that is what kept the module's port shut.
    m_events.OnFailed(
        DownloadOutcome::ReopenFailed,
        ApplicationMessage(kTextReopenFailed, MB_ICONEXCLAMATION, PortRefusalLine(m_nPort)),
        "COM" + std::to_string(m_nPort) + " could not be opened again after the reset");
    m_events.OnExitOffered();
    *code = kExitCodeDone;
    return false;
}

UINT Download::MainPass() {
    if (payload_open(main_chunk_source, kPayloadChunkSize, kPayloadKeyText) != 0)
        return EndUnopenable(kExitCodeFailed);
    if (!DownloadCommandConfirmed(DownloadImage::Main, kCmdDownloadMain, kCmdDownloadMainLength,
                                  kDownloadMainWaitMs, kDownloadMainReadSize, kReplyUpdateReady)) {
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
    if (end != PassEnd::Down)
        return EndPass(end, plan);
    return Complete();
}

// A pass that did not end with "DOWN".
UINT Download::EndPass(PassEnd end, const PassPlan& plan) {
    switch (end) {
    case PassEnd::Aborted:
        // The stream stays open; the next download's open replaces it.
        m_port.Close();
        return kExitCodeFailed;
    case PassEnd::Damaged:
        return EndDamaged(std::string(plan.name) + " image, line " +
                          std::to_string(m_linesSent + 1) + ": cannot be sent whole");
    case PassEnd::Silent:
    case PassEnd::Gone:
        return EndUnanswered(end, plan);
    case PassEnd::Down:
        break;
    }
    return kExitCodeDone;
}

// Puts the line just read into the send area as its text and CR LF. A line the send area
// cannot take whole (text beyond the bytes copied from the line buffer), or a read that gave
// no text, is not sent: the module would program something the payload does not hold. The
// line goes with CR LF, the module's line end, whatever line end the payload gave it: a line
// end of more bytes (blank lines after it) is not sent as stray bytes.
bool Download::PrepareLine(size_t text, DWORD* length) {
    if (!LaterLineSendable(text))
        return false;
    std::memcpy(m_send, m_lines.Text(), kLineCopySize);
    m_send[text] = kCr;
    m_send[text + 1] = kLf;
    *length = static_cast<DWORD>(text + 2);
    return true;
}

PassEnd Download::StreamImage(const PassPlan& plan) {
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
        if (m_events.StopRequested())
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
        m_events.OnProgress(numerator, m_progressTotal);

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

// The firmware is in the module: the host must restart for the module's new settings, even
// if the front end's window has gone meanwhile.
UINT Download::Complete() {
    m_events.OnAllSent();
    m_port.Close();
    m_events.OnCompleted(ApplicationMessage(kTextCompleted, MB_ICONEXCLAMATION));
    // Our own inhibitor must not hold back the restart the front end may ask for.
    m_inhibition.Release();
    m_events.OnRestartDue();
    return kExitCodeDone;
}

// The package cannot be sent as it is: the user is told, the module is left as it is, and
// Exit is offered as after a failed re-open.
UINT Download::EndDamaged(const std::string& detail) {
    m_port.Close();
    payload_close();
    m_events.OnFailed(DownloadOutcome::PackageDamaged,
                      ApplicationMessage(kTextPayloadDamaged, MB_ICONEXCLAMATION), detail);
    m_events.OnExitOffered();
    return kExitCodeFailed;
}

// A payload stream that cannot be opened: the user is told, and Exit is offered as after the
// other endings that leave the dialog up.
UINT Download::EndUnopenable(UINT code) {
    m_events.OnFailed(DownloadOutcome::StreamUnopenable,
                      ApplicationMessage(kTextSystemError, MB_OK),
                      "a payload stream cannot be opened");
    m_port.Close();
    m_events.OnExitOffered();
    return code;
}

// The module stopped answering mid-image, or its port vanished: it holds part of an image.
// Nothing is held any longer (the port is closed, the stream too, the inhibitor goes when the
// download returns), the user is told that the update must be run again, and Exit is offered.
UINT Download::EndUnanswered(PassEnd end, const PassPlan& plan) {
    const bool gone = end == PassEnd::Gone;
    const unsigned long limitS = kAckLimitMs / 1000;
    std::string detail = "COM" + std::to_string(m_nPort) + ": " +
                         (gone ? std::string("the port's device has gone")
                               : "no acknowledgement for " + std::to_string(limitS) + " s") +
                         " at line " + std::to_string(m_linesSent) + " of " +
                         std::to_string(plan.lineCount - 1) + " of the " + plan.name + " image";
    m_port.Close();
    payload_close();
    CString note;
    if (gone)
        note.Format(kNoteDeviceGone, m_nPort);
    else
        note.Format(kNoteSilent, m_nPort, limitS);
    m_events.OnFailed(gone ? DownloadOutcome::DeviceGone : DownloadOutcome::ModuleSilent,
                      ApplicationMessage(kTextModuleNoAnswer, MB_ICONEXCLAMATION, note), detail);
    m_events.OnExitOffered();
    return kExitCodeFailed;
}

} // namespace

PayloadCheckResult CheckPackage(bool bootDue, bool (*abandon)(void* context), void* context,
                                PackageCheckFault* fault) {
    struct Image {
        const char* name;
        bool due;
        ChunkSource source;
        int32_t lineCount;
        uint32_t size;
    };
    const Image images[] = {
        {"boot-block", bootDue, boot_chunk_source, g_firmwarePackage.bootLineCount,
         g_firmwarePackage.bootImageSize},
        {"main", true, main_chunk_source, g_firmwarePackage.mainLineCount,
         g_firmwarePackage.mainImageSize},
    };
    // Both images are read from their start, whatever this thread read before.
    payload_read_offsets() = ChunkReadOffsets{};
    PayloadCheckResult result = PayloadCheckResult::Sound;
    for (const Image& image : images) {
        if (!image.due)
            continue;
        PayloadCheckReport report;
        result =
            CheckPayloadImage(image.source, image.lineCount, image.size, abandon, context, &report);
        if (result != PayloadCheckResult::Sound) {
            if (fault)
                *fault = PackageCheckFault{image.name, report};
            break;
        }
    }
    // The chunk sources never rewind by themselves; the passes read from the start.
    payload_read_offsets() = ChunkReadOffsets{};
    return result;
}

// 1.02 itself is the boot block the package brings: only an older one is replaced. An empty or
// unreadable text gives 0.0, so such a module gets the boot block.
bool BootBlockDue(const CString& bootVersion) {
    return wcstod_c(bootVersion, nullptr) < kBootBlockMinimumVersion;
}

UINT RunDownload(CRs232c&& port, const DownloadModule& module, DownloadEvents& events) {
    // The work areas (2 x 2051 bytes and the line buffer) live on the heap rather than on the
    // thread's stack.
    auto download = std::make_unique<Download>(std::move(port), module, events);
    return download->Run();
}
