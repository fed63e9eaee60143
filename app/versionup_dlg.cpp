#include "app/versionup_dlg.h"

#include "package/firmware_package.h"
#include "platform/winbase.h"

const wchar_t kWindowTitle[] = L"KV615MQ VersionUp Tool";

const wchar_t kNoticeText[] =
    L"V-MOD(KV615MQ)ご使用ありがとうございます。\r\n"
    L"\r\n"
    L"【 バージョンアップ注意事項 】\r\n"
    L"・必ずACアダプタを接続してして下さい。\r\n"
    L"・他アプリケーションを全て終了して下さい。\r\n"
    L"\r\n"
    L"バージョンアップ中に\r\n"
    L"・プログラムを終了しないで下さい。\r\n"
    L"・他アプリケーションを起動しないで下さい。\r\n"
    L"・V-MOD(KV615MQ)を抜かないで下さい。\r\n"
    L"・電源を切らないで下さい。\r\n"
    L"・裏蓋の開閉などしないで下さい。\r\n"
    L"バージョンアップには、数分かかります。\r\n"
    L"バージョンアップ中は、通信出来ません。\r\n"
    L"\r\n"
    L"バージョンアップは、お客様の責任においての実施となります。\r\n"
    L"\r\n"
    L"上記注意事項をご確認のうえ、「開始」ボタンを押してバージョンアップを開始して下さい。\r\n";

// The main window's handle; nullptr when there is none.
static HWND MainWindowHandle() {
    CWnd* main = AfxGetMainWnd();
    return main ? main->GetSafeHwnd() : nullptr;
}

void PostAppExitCommand() {
    PostMessageW(MainWindowHandle(), WM_COMMAND, ID_APP_EXIT, 0);
}

// The single-instance guard's name; one copy per device (per device root on this host).
static const wchar_t kMutexName[] = L"ZARudizeru";

// Members the dialog leaves "not set" on the handheld start at 0 here, so that nothing can read
// an indeterminate value; OnInitDialog and the worker give them their working values.
CVersionUpDlg::CVersionUpDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_nProgressTotal(0), m_bUpdating(0), m_bAbort(0),
      m_hIcon(AfxGetApp()->LoadIcon(IDI_VERSIONUP)), m_hMutex(nullptr), m_nPort(0) {
    m_rs232c.SetReport(&m_portBoxes);
}

// The mutex is deliberately not closed: it stays owned until the process ends.
CVersionUpDlg::~CVersionUpDlg() = default;

void CVersionUpDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_EDIT_MODEL, m_editModel);
    DDX_Control(pDX, IDC_EDIT_CURRENT_VERSION, m_editCurrentVersion);
    DDX_Control(pDX, IDC_EDIT_NEW_VERSION, m_editNewVersion);
    DDX_Control(pDX, IDC_LIST_SPARE, m_listSpare);
    DDX_Control(pDX, IDC_STATIC_PERCENT, m_staticPercent);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_BUTTON_EXIT, m_btnExit);
    DDX_Control(pDX, IDC_BUTTON_START, m_btnStart);
    DDX_Text(pDX, IDC_EDIT_CURRENT_VERSION, m_strCurrentVersion);
    DDX_Text(pDX, IDC_EDIT_MODEL, m_strModel);
    DDX_Control(pDX, IDC_EDIT_NOTICE, m_editNotice);
}

BEGIN_MESSAGE_MAP(CVersionUpDlg, CDialog)
ON_WM_SIZE()
ON_BN_CLICKED(IDC_BUTTON_START, &CVersionUpDlg::OnStart)
ON_BN_CLICKED(IDC_BUTTON_EXIT, &CVersionUpDlg::OnExit)
ON_COMMAND(ID_APP_EXIT, &CVersionUpDlg::OnAppExitCommand)
ON_MESSAGE(WM_APP_QUERY_MODULE, &CVersionUpDlg::OnModuleQuery)
END_MESSAGE_MAP()

// The order matters: nothing is shown and no port is touched until the single-instance and
// package checks have passed; the module query runs from the message loop, after this returns.
BOOL CVersionUpDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_hMutex = CreateMutexW(nullptr, TRUE, kMutexName);
    if (m_hMutex == nullptr) {
        EndDialog(0);
        return FALSE;
    }
    // Another copy is running (possibly mid-update): end without a word, leave it alone.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        EndDialog(0);
        return FALSE;
    }

    if (!LoadPackage()) {
        EndDialog(0);
        return FALSE;
    }

    SetWindowText(kWindowTitle);

    m_btnStart.EnableWindow(FALSE);
    m_btnExit.EnableWindow(TRUE);

    m_bUpdating = 0;
    m_editNewVersion.SetWindowText(g_firmwarePackage.mainVersionText);

    m_listSpare.ShowWindow(SW_HIDE);
    m_editNotice.ShowWindow(SW_SHOW);

    m_strNotice = kNoticeText;
    m_editNotice.SetWindowText(m_strNotice);

    ::PostMessageW(MainWindowHandle(), WM_APP_QUERY_MODULE, 0, 0);
    return TRUE;
}

void CVersionUpDlg::OnOK() {}
