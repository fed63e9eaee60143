#include "app/download_link.h"

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>

#include "app/versionup_dlg.h"
#include "download/download_protocol.h"
#include "download/update_engine.h"
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

void ShowEngineMessage(const EngineMessage& message) {
    if (message.application) {
        if (message.note.IsEmpty())
            AfxMessageBox(message.text, message.type);
        else
            AfxMessageBoxNote(message.text, message.type, message.note);
        return;
    }
    if (message.note.IsEmpty())
        MessageBoxW(nullptr, message.text, message.caption, message.type);
    else
        MessageBoxNoteW(nullptr, message.text, message.caption, message.type, message.note);
}

namespace {

// The download's events as the dialog shows them. Fields of the dialog are touched only under
// the link's lock and while the dialog lives; window calls go to the controls' handles.
class DialogDownload : public DownloadEvents {
  public:
    explicit DialogDownload(std::shared_ptr<CDownloadLink::Shared> shared)
        : m_shared(std::move(shared)) {}

    // Takes the dialog's connection over and marks the update as running; false when the
    // dialog has ended before the worker began.
    bool TakeOverDialog(CRs232c* port, DownloadModule* module);

    bool StopRequested() override {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        return !m_shared->dialogAlive || m_shared->fields.bAbort->load() != 0;
    }
    void OnDownloadStarted() override {
        SendMessageW(m_hProgress, PBM_SETRANGE, 0, MAKELPARAM(kProgressLow, kProgressHigh));
        ShowWindow(m_hProgress, SW_SHOWNORMAL);
        SetPercentText(0);
    }
    void OnProgressTotal(int32_t total) override {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->dialogAlive)
            *m_shared->fields.nProgressTotal = total;
    }
    // The busy cursor comes down once the module has answered.
    void OnCommandAnswered(DownloadImage) override { SetCursor(nullptr); }
    // Neither the bar nor the text is touched while the percentage stays the same.
    void OnProgress(int32_t numerator, int32_t total) override {
        int percent = numerator / total;
        int position = static_cast<int>(SendMessageW(m_hProgress, PBM_GETPOS, 0, 0));
        if (position != percent) {
            SendMessageW(m_hProgress, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
            SetPercentText(percent);
        }
    }
    void OnAllSent() override { SetPercentText(100); }
    // An unconfirmed download command ends the program: the exit command is posted before the
    // box, as on the handheld.
    void OnFailed(DownloadOutcome outcome, const EngineMessage& message,
                  const std::string& detail) override {
        if (!detail.empty())
            std::fprintf(stderr, "vmod-versionup: %s\n", detail.c_str());
        if (outcome == DownloadOutcome::CommandUnconfirmed)
            PostAppExitCommand();
        ShowEngineMessage(message);
    }
    void OnExitOffered() override { EnableWindow(m_hExit, TRUE); }
    void OnCompleted(const EngineMessage& message) override {
        ShowEngineMessage(message);
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->dialogAlive)
            m_shared->fields.bUpdating->store(0);
    }
    // The module's new settings need the restart, even if the dialog has ended meanwhile.
    void OnRestartDue() override {
        HostPrepareReboot();
        ExitWindowsEx(EWX_REBOOT, 0);
        PostAppExitCommand();
    }
    void OnPortMessage(const EngineMessage& message) override { ShowEngineMessage(message); }

  private:
    void SetPercentText(int percent) {
        wchar_t text[kPercentTextSize];
        std::swprintf(text, kPercentTextSize, kPercentFormat, percent);
        SetWindowTextW(m_hPercent, text);
    }

    std::shared_ptr<CDownloadLink::Shared> m_shared;
    HWND m_hProgress = nullptr;
    HWND m_hPercent = nullptr;
    HWND m_hExit = nullptr;
};

bool DialogDownload::TakeOverDialog(CRs232c* port, DownloadModule* module) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (!m_shared->dialogAlive)
        return false;
    const DownloadDialogFields& f = m_shared->fields;
    *port = std::move(*f.rs232c);
    f.bAbort->store(0);
    f.bUpdating->store(1);
    m_hProgress = f.hProgress;
    m_hPercent = f.hPercent;
    m_hExit = f.hExit;
    module->port = *f.nPort;
    module->bootVersion = *f.strModuleBootVersion;
    return true;
}

} // namespace

UINT DownloadWorker(LPVOID param) {
    auto* handOver = static_cast<std::shared_ptr<CDownloadLink::Shared>*>(param);
    std::shared_ptr<CDownloadLink::Shared> shared = std::move(*handOver);
    delete handOver;
    DialogDownload events(std::move(shared));
    CRs232c port;
    DownloadModule module;
    if (!events.TakeOverDialog(&port, &module))
        return kExitCodeFailed;
    return RunDownload(std::move(port), module, events);
}
