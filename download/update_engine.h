// The download of one module: takes a connection that identification left open on the module,
// checks the package whole before the module hears a word, sends the boot block where the
// module's boot-block version asks for it, resets and re-opens the module, sends the main
// image line by line with every "." awaited, and ends with the firmware in the module or with
// the reason why not.
//
// The engine reaches no window: it tells its front end what happens through DownloadEvents and
// asks it whether to stop. Several downloads may run at once, each on its own thread, over the
// one loaded package (read only). The host's restart is the front end's decision.
#pragma once

#include <string>

#include "download/payload_check.h"
#include "module/engine_message.h"
#include "module/rs232c.h"
#include "platform/cstring.h"

// How a download ended.
enum class DownloadOutcome {
    Completed,          // the module took both images (or the main one) and said "DOWN"
    Stopped,            // the front end asked to stop
    PackageDamaged,     // the package cannot be sent whole and sound; nothing was sent
    StreamUnopenable,   // a payload stream could not be opened
    CommandUnconfirmed, // the module did not confirm a download command
    ReopenFailed,       // the port could not be opened again after the reset
    ModuleSilent,       // no "." within the limit, mid-image
    DeviceGone,         // the port's device vanished mid-image
};

// Which image a pass sends.
enum class DownloadImage { Boot, Main };

// The download's events, on the download's thread, in the order they happen. Each returns
// once the front end has done with it (a message box: once the user has dismissed it).
class DownloadEvents : public CRs232cReport {
  public:
    // The re-open's reports of a driver refusing the port's settings; dropped by default.
    // OnWire (of CRs232cReport) sees every byte the download writes and reads.
    void OnPortMessage(const EngineMessage& message) override { (void)message; }
    // Asked before each step and at every pass of the line loop: true stops the download
    // after the line in flight (the port is closed; nothing more is sent).
    virtual bool StopRequested() = 0;
    // The download begins: the progress stands at 0 %.
    virtual void OnDownloadStarted() {}
    // The percentage's denominator: the lines of every image this download sends.
    virtual void OnProgressTotal(int32_t total) { (void)total; }
    // The module's reply to a download command has been read.
    virtual void OnCommandAnswered(DownloadImage image) { (void)image; }
    // A "." was read: the percentage is numerator / total, whole numbers.
    virtual void OnProgress(int32_t numerator, int32_t total) { (void)numerator, (void)total; }
    // The module said "DOWN" for the main image: the text stands at 100 %.
    virtual void OnAllSent() {}
    // The download ends short of completion: how, the message for the user and a line for a
    // log (English, without a program name; empty when there is nothing to add).
    virtual void OnFailed(DownloadOutcome outcome, const EngineMessage& message,
                          const std::string& detail) {
        (void)outcome, (void)message, (void)detail;
    }
    // After a failure whose port is closed and whose program goes on: the user may leave.
    virtual void OnExitOffered() {}
    // The firmware is in the module and the port is closed: the message for the user.
    virtual void OnCompleted(const EngineMessage& message) { (void)message; }
    // After completion, once the download no longer holds the host awake: the host must
    // restart to finish (the front end decides whether and when).
    virtual void OnRestartDue() {}
};

// What the download needs of identification.
struct DownloadModule {
    int32_t port = 0;    // the COM number the module answered on, for the re-open
    CString bootVersion; // the module's boot-block version text; empty: none reported
};

// Runs the download on the calling thread over port (open on the module; taken over). The
// result is the handheld worker's exit code: 0 or (UINT)-1; the outcome is told through events.
// The host is kept awake while any download runs (a process-wide count).
UINT RunDownload(CRs232c&& port, const DownloadModule& module, DownloadEvents& events);

// Which image of the package a check refused, and why.
struct PackageCheckFault {
    const char* image = ""; // "boot-block" or "main"
    PayloadCheckReport report;
};

// Reads every image a download sends (the boot block only when bootDue) through the payload
// stream exactly as the passes will (CheckPayloadImage), the chunk sources rewound before and
// after. Sound, or the first image's other result with *fault (may be nullptr) naming it.
// abandon and context as for CheckPayloadImage.
PayloadCheckResult CheckPackage(bool bootDue, bool (*abandon)(void* context), void* context,
                                PackageCheckFault* fault);

// Whether a module with this boot-block version text gets the package's boot block first.
bool BootBlockDue(const CString& bootVersion);
