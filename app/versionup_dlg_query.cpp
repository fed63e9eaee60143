// OnModuleQuery: the module scan of module/identify.h, shown in the dialog. Runs once, on the
// dialog's thread, from the dialog's message loop.
#include "app/versionup_dlg.h"
#include "module/identify.h"
#include "module/module_protocol.h"
#include "module/port_refusal.h"
#include "package/firmware_package.h"
#include "platform/winbase.h"

namespace {

const wchar_t kTextDowngrade[] = L"古いバージョンにバージョンダウンする事はできません。終了します";
const wchar_t kTextNotFound[] = L"KV615MQが見つかりませんでした。接続を確認してください";
const wchar_t kCaptionCaution[] = L"注意";

class DialogScan : public IdentifyEvents {
  public:
    explicit DialogScan(CVersionUpDlg& dialog) : m_dialog(dialog) {}

    void OnScanStarted() override { SetCursor(LoadCursorW(nullptr, IDC_WAIT)); }
    void OnModelFound(const ModuleIdentity& identity) override {
        m_dialog.m_nPort = identity.port;
        m_dialog.m_strModel = identity.model;
    }
    void OnFirmwareVersion(const ModuleIdentity& identity) override {
        m_dialog.m_strCurrentVersion = identity.currentVersion;
        m_dialog.UpdateData(FALSE);
    }
    // The posted exit ends the program once the query and its box are done.
    void OnDowngradeRefused(const ModuleIdentity&) override {
        PostAppExitCommand();
        m_dialog.MessageBox(kTextDowngrade, kCaptionCaution, MB_OK);
    }
    void OnIdentified(const ModuleIdentity& identity) override {
        m_dialog.m_strModuleVersion = identity.moduleVersion;
        m_dialog.m_strModuleBootVersion = identity.bootVersion;
        SetCursor(nullptr);
        m_dialog.UpdateData(FALSE);
        m_dialog.m_btnStart.EnableWindow(TRUE);
    }
    // The ports the host refused are named under the box: the user may be looking at their
    // module's port.
    void OnNotFound(const std::vector<RefusedPort>& refused) override {
        CString note;
        for (const RefusedPort& r : refused) {
            CString line = PortRefusalText(r.port, r.refusal);
            if (line.IsEmpty())
                continue;
            if (!note.IsEmpty())
                note += L'\n';
            note += line;
        }
        SetCursor(nullptr);
        PostAppExitCommand();
        MessageBoxNoteW(m_dialog.GetSafeHwnd(), kTextNotFound, kCaptionCaution, MB_OK, note);
        m_dialog.UpdateData(FALSE);
    }

  private:
    CVersionUpDlg& m_dialog;
};

} // namespace

LRESULT CVersionUpDlg::OnModuleQuery(WPARAM wParam, LPARAM lParam) {
    (void)wParam, (void)lParam;
    DialogScan scan(*this);
    ModuleIdentity identity;
    return IdentifyModule(m_rs232c, kFirstProbePort, kLastProbePort,
                          g_firmwarePackage.mainVersionText, scan, &identity)
               ? 1
               : 0;
}
