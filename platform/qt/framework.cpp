// The dialog framework on the host: message maps, window objects, the modal dialog, data
// exchange, the application object and its process entry. Worker threads are in threads.cpp,
// message boxes in message_boxes.cpp.
#include <QApplication>
#include <QEventLoop>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/qt/host.h"

using namespace vmod_qt;

// ---- windows ------------------------------------------------------------------------------------

CWnd::~CWnd() {
    if (m_hWnd && IsUiThread()) {
        Window* w = FindWindow(m_hWnd);
        if (w && w->attached == this)
            w->attached = nullptr;
    }
}

int CWnd::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
    return ShowMessageBox(vmod_testing::BoxOwner::Dialog, m_hWnd, text,
                          caption ? caption : AfxGetAppName(), type);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (DispatchFromMap(message, wParam, lParam, &result))
        return result;
    if (message == WM_COMMAND) {
        OnCommand(wParam, lParam);
        return 0;
    }
    return Default(message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    (void)wParam, (void)lParam;
    return FALSE;
}

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = FindWindow(m_hWnd);
    return w ? DefaultMessage(w, message, wParam, lParam) : 0;
}

// ---- dialogs ------------------------------------------------------------------------------------

namespace {

// Set only by tests; the program leaves it empty. Read and set on the user-interface thread.
std::function<void(CDialog*)>& ShownHandler() {
    static std::function<void(CDialog*)> handler;
    return handler;
}

} // namespace

namespace vmod_qt {

void SetShownHandler(std::function<void(CDialog*)> handler) {
    ShownHandler() = std::move(handler);
}

} // namespace vmod_qt

CDialog::CDialog(UINT templateId, CWnd* /*parent*/) : m_nIDTemplate(templateId) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    EnsureApplication();
    const Resource* res = FindModuleResource(MAKEINTRESOURCEW(m_nIDTemplate), RT_DIALOG);
    DialogTemplate tpl;
    if (!res || !ParseDialogTemplate(res->data, res->size, &tpl))
        return -1;

    // From here until the window is gone, other threads' calls are served.
    EnterServingLoop();
    Window* win = CreateDialogFromTemplate(tpl, this);
    HWND hwnd = win->hwnd;
    m_hWnd = hwnd;
    win->attached = this;
    CWinApp* app = AfxGetApp();
    if (app && app->m_pMainWnd == this)
        SetMainWindowHandle(hwnd);
    DialogState* st = win->dialog.get();

    LRESULT setFocus = DeliverMessage(hwnd, WM_INITDIALOG, 0, 0);
    if (!st->ended) {
        if (setFocus) {
            for (Window* c : win->children) {
                if ((c->style & WS_TABSTOP) && !(c->style & WS_DISABLED) &&
                    (c->style & WS_VISIBLE) && c->widget) {
                    c->widget->setFocus(Qt::OtherFocusReason);
                    break;
                }
            }
        }
        if (tpl.style & WS_VISIBLE)
            ::ShowWindow(hwnd, SW_SHOW);
        if (ShownHandler())
            ShownHandler()(this);
        if (!st->ended) {
            QEventLoop loop;
            st->loop = &loop;
            loop.exec();
            st->loop = nullptr;
        }
    }
    int result = st->result;
    LeaveServingLoop();
    DestroyWindowTree(win);
    return result;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::EndDialog(int result) {
    HWND hwnd = m_hWnd;
    RunOnUi(
        [hwnd, result] {
            Window* w = FindWindow(hwnd);
            if (!w || !w->dialog)
                return LRESULT(0);
            w->dialog->ended = true;
            w->dialog->result = result;
            // The window goes away now; its loop ends once the handler that ended it (and any
            // message box it shows) has returned.
            w->style &= ~static_cast<DWORD>(WS_VISIBLE);
            if (w->widget)
                w->widget->hide();
            if (w->dialog->loop)
                w->dialog->loop->exit(0);
            return LRESULT(1);
        },
        0);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    if (saveAndValidate || !WindowExists(m_hWnd))
        return FALSE;
    CDataExchange dx(this);
    DoDataExchange(&dx);
    return dx.m_bFailed ? FALSE : TRUE;
}

void CDialog::DoDataExchange(CDataExchange* pDX) {
    (void)pDX;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        LRESULT result = 0;
        if (DispatchFromMap(message, wParam, lParam, &result))
            return result;
        return OnInitDialog();
    }
    return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
    if (HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
    }
    // Commands the dialog does not handle go to the application (ID_APP_EXIT).
    LRESULT result = 0;
    CWinApp* app = AfxGetApp();
    return app && app->DispatchFromMap(WM_COMMAND, wParam, lParam, &result) ? TRUE : FALSE;
}

namespace {

// The dialog's child id for a binding; a missing child marks the pass failed (nullptr).
Window* BoundChild(CDataExchange* pDX, int id) {
    Window* w = FindWindow(GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id));
    if (!w)
        pDX->m_bFailed = TRUE;
    return w;
}

} // namespace

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    Window* w = BoundChild(pDX, id);
    if (!w)
        return;
    HWND item = w->hwnd;
    // Written only when it changes, so other threads reading the handle see one value.
    if (control.m_hWnd != item)
        control.m_hWnd = item;
    w->attached = &control;
}

void DDX_Text(CDataExchange* pDX, int id, CString& value) {
    if (Window* w = BoundChild(pDX, id))
        SetWindowTextW(w->hwnd, value);
}

// ---- the application ------------------------------------------------------------------------

namespace {

CWinApp* g_app = nullptr;

// The program file's name without its extension (the handheld's application title).
const std::wstring& ProgramTitle() {
    static const std::wstring title = [] {
        std::error_code ec;
        std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        std::string stem = ec ? std::string("vmod-versionup") : exe.stem().string();
        return QString::fromUtf8(stem.c_str()).toStdWString();
    }();
    return title;
}

std::mutex g_wrapperMutex;
std::map<HWND, CWnd*>& MainWindowWrappers() {
    // Never destroyed, like the wrappers it holds: a worker may still reach them at exit.
    static auto* wrappers = new std::map<HWND, CWnd*>;
    return *wrappers;
}

} // namespace

CWinThread::CWinThread() = default;
CWinThread::~CWinThread() = default;

CWinApp::CWinApp(LPCWSTR appName) {
    g_app = this;
    static std::wstring name;
    name = appName ? std::wstring(appName) : ProgramTitle();
    m_pszAppName = name.c_str();
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

BOOL CWinApp::InitInstance() {
    return FALSE;
}

HICON CWinApp::LoadIcon(UINT id) const {
    return LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id));
}

CWinApp* AfxGetApp() {
    return g_app;
}

CWnd* AfxGetMainWnd() {
    if (!g_app)
        return nullptr;
    if (IsUiThread() || !QApplication::instance())
        return g_app->m_pMainWnd;
    HWND main = MainWindowHandle();
    if (!main)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_wrapperMutex);
    CWnd*& wrapper = MainWindowWrappers()[main];
    if (!wrapper) {
        wrapper = new CWnd; // lives as long as the process: worker threads may hold it
        wrapper->m_hWnd = main;
    }
    return wrapper;
}

LPCWSTR AfxGetAppName() {
    return g_app ? g_app->m_pszAppName : ProgramTitle().c_str();
}

int AfxMessageBox(LPCWSTR text, UINT type, UINT helpId) {
    (void)helpId;
    return AfxMessageBoxNote(text, type, nullptr);
}

int AfxMessageBoxNote(LPCWSTR text, UINT type, LPCWSTR note) {
    HWND main = MainWindowHandle();
    return ShowMessageBox(vmod_testing::BoxOwner::Application, WindowExists(main) ? main : nullptr,
                          text, AfxGetAppName(), type, note);
}

int AfxWinMain(int argc, char** argv) {
    static int s_argc = argc;
    EnsureApplication(&s_argc, argv);
    CWinApp* app = AfxGetApp();
    if (!app)
        return 1;
    // The program's InitInstance runs its dialog and returns FALSE. A worker still running then
    // takes the dialog's end as an abort and closes its port; the process ends after it.
    app->InitInstance();
    if (!ServeWorkersToTheirEnd()) {
        std::fprintf(stderr,
                     "%ls: a worker thread did not end within %lld s of the dialog's end; "
                     "ending without it\n",
                     AfxGetAppName(), static_cast<long long>(kWorkerEndLimitMs / 1000));
        std::fflush(nullptr);
        std::_Exit(0);
    }
    ReapFinishedThreads();
    DeleteApplication();
    return 0;
}
