// The dialog's front end of the download: starts the download on a worker thread with the
// dialog's open connection, and turns the download's events into the dialog's window calls and
// boxes, in the handheld program's order.
//
// Lifetime: the dialog may end while the worker runs (Exit, the exit command the download's
// events post, Escape). The worker reaches the dialog only through a CDownloadLink, a member
// of the dialog: once the dialog's modal loop has ended (or at the latest when the link is
// destroyed with the dialog), the worker touches none of the dialog's fields again, and it
// treats the dialog's end as a stop. Its window calls go to handles, which fail at once when
// the windows are gone; a message box it asks for then returns at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "module/rs232c.h"
#include "platform/afx.h"

// The fields of the dialog that a download reads and writes. The pointers are the dialog's
// own members; the worker uses them only while the dialog lives and under the link's lock.
struct DownloadDialogFields {
    CRs232c* rs232c = nullptr;                     // identification left it open on the module
    std::atomic<int32_t>* bUpdating = nullptr;     // 1 from the worker's start until completion
    std::atomic<int32_t>* bAbort = nullptr;        // set by Exit; polled by the worker
    int32_t* nProgressTotal = nullptr;             // the percentage's denominator
    const CString* strModuleBootVersion = nullptr; // decides the boot-block pass
    const int32_t* nPort = nullptr;                // the COM number to re-open
    HWND hProgress = nullptr;                      // control 1004
    HWND hPercent = nullptr;                       // control 1005
    HWND hExit = nullptr;                          // control 1007
};

// The dialog's end of its download. Declared as a member of the dialog, it outlives every
// field it points to only if declared after them; its destructor waits for a field access
// the worker is making, and from then on the worker sees the dialog as gone.
class CDownloadLink {
  public:
    CDownloadLink();
    ~CDownloadLink();
    CDownloadLink(const CDownloadLink&) = delete;
    CDownloadLink& operator=(const CDownloadLink&) = delete;

    // Starts DownloadWorker on a new thread at the given priority of the handheld's scale,
    // for these fields. FALSE (and nothing started) when a worker was started before for
    // this dialog or the thread could not be started. UI thread only.
    BOOL StartWorker(const DownloadDialogFields& fields, int priority);
    // Whether a worker was started for this dialog.
    BOOL WorkerStarted() const;
    // The dialog's modal loop has ended: from now on the worker touches none of its fields or
    // controls and takes the end as an abort. Waits for a field access the worker is making.
    // The destructor does the same. UI thread only.
    void DialogEnded();

    struct Shared;

  private:
    std::shared_ptr<Shared> m_shared;
};

// The worker thread's procedure. param: the link's shared state, as StartWorker hands it
// over (the procedure takes its ownership). Returns the download's exit code, 0 or (UINT)-1;
// nobody reads it.
UINT DownloadWorker(LPVOID param);

// Shows an engine's message as the box it stands for; returns once it is dismissed. Any
// thread.
void ShowEngineMessage(const EngineMessage& message);

// The dialog's report for its own port object: driver refusals as boxes.
class CRs232cBoxes : public CRs232cReport {
  public:
    void OnPortMessage(const EngineMessage& message) override { ShowEngineMessage(message); }
};
