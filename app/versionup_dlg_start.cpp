// The dialog's two buttons: Start runs the update on a worker thread, Exit ends the program
// (stopping a running update first), and the end of its modal loop, after which a running
// download leaves the dialog alone.
#include "app/versionup_dlg.h"
#include "platform/winbase.h"

namespace {

const wchar_t kTextConnectAdapter[] = L"ACアダプタに接続してください";
const wchar_t kCaptionCaution[] = L"注意";
const wchar_t kTextStopping[] = L"ファームウェアのバージョンアップを中止します";
const wchar_t kCaptionStop[] = L"中止";
// Asked when Escape or the window's close button comes while the module is being written.
const wchar_t kTextAskStop[] =
    L"バージョンアップ中です。中止するとV-MOD(KV615MQ)が使用できなくなる場合があります。"
    L"バージョンアップを中止しますか？";

// The update writes the module's flash for minutes: it runs only on external power. A query
// that fails says nothing about the power, so it counts as not on external power.
bool OnExternalPower() {
    SYSTEM_POWER_STATUS_EX2 status = {};
    if (GetSystemPowerStatusEx2(&status, sizeof status, TRUE) == 0)
        return false;
    return status.ACLineStatus == AC_LINE_ONLINE;
}

} // namespace

void CVersionUpDlg::OnStart() {
    // A click that was queued before the first one disabled the button finds the worker
    // already started: it starts no second one.
    if (m_downloadLink.WorkerStarted())
        return;
    if (!OnExternalPower()) {
        MessageBox(kTextConnectAdapter, kCaptionCaution, MB_OK);
        return;
    }
    m_btnStart.EnableWindow(FALSE);
    m_btnExit.EnableWindow(FALSE);

    DownloadDialogFields fields;
    fields.rs232c = &m_rs232c;
    fields.bUpdating = &m_bUpdating;
    fields.bAbort = &m_bAbort;
    fields.nProgressTotal = &m_nProgressTotal;
    fields.strModuleBootVersion = &m_strModuleBootVersion;
    fields.nPort = &m_nPort;
    fields.hProgress = m_progress.GetSafeHwnd();
    fields.hPercent = m_staticPercent.GetSafeHwnd();
    fields.hExit = m_btnExit.GetSafeHwnd();
    // Priority 1, just below time-critical: the module's acknowledgements are answered at
    // once whatever else the handheld is doing.
    if (!m_downloadLink.StartWorker(fields, THREAD_PRIORITY_HIGHEST)) {
        // No thread, no update: the user may try again or leave.
        m_btnStart.EnableWindow(TRUE);
        m_btnExit.EnableWindow(TRUE);
    }
}

// Exit during an update first tells the worker to stop; every press ends the program without
// waiting for the worker.
void CVersionUpDlg::OnExit() {
    if (m_bUpdating != 0) {
        m_bAbort = 1;
        MessageBox(kTextStopping, kCaptionStop, MB_OK);
    }
    PostAppExitCommand();
}

// The application's own exit handling closes the main window, which a dialog takes as its
// cancel command; noted first, so that OnCancel ends the dialog without asking.
void CVersionUpDlg::OnAppExitCommand() {
    m_bExitCommanded = true;
    AfxGetApp()->OnAppExit();
}

// Before Start (and whenever the program itself ends the dialog) cancel ends the dialog as
// the framework does. A user who leaves while the module is being written would leave it
// erased and part-written: the question's default goes on with the update, and stopping goes
// the way of Exit, which the worker sees before the process ends.
void CVersionUpDlg::OnCancel() {
    if (m_bExitCommanded || !m_downloadLink.WorkerStarted()) {
        CDialog::OnCancel();
        return;
    }
    if (m_btnExit.IsWindowEnabled()) {
        OnExit(); // the update has ended without completing; Exit is offered
        return;
    }
    if (MessageBox(kTextAskStop, kCaptionCaution, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
        IDYES) {
        OnExit();
    }
}

INT_PTR CVersionUpDlg::DoModal() {
    INT_PTR result = CDialog::DoModal();
    m_downloadLink.DialogEnded();
    return result;
}
