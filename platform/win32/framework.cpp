// The dialog framework on real Win32 dialogs: window objects, the modal dialog created by the
// dialog manager from the program's own template, data exchange, the application object and its
// process entry, worker threads and message boxes.
//
// A dialog's messages reach its object through a subclass of the dialog window, put in place
// when WM_INITDIALOG arrives; what the object leaves to the default goes on to the dialog
// manager. The dialog's base units grow from the template font's until every text of the
// template fits its control, as the host's metrics decide; the texts are drawn in the template's
// own font size.
#include <windows.h>

#include <commctrl.h>
#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/afx.h"
#include "platform/dialog_template.h"
#include "platform/win32/dialog_fit.h"

namespace {

CWinApp* g_app = nullptr;
DWORD g_uiThread = 0;
std::atomic<HWND> g_mainWindow{nullptr};

const wchar_t kPropObject[] = L"VmodWindowObject";
const wchar_t kPropSuper[] = L"VmodSuperProc";

// What the framework keeps of one dialog while it is up; user-interface thread only.
struct DialogState {
    HFONT textFont = nullptr; // the template's size, set on every control
    int marginRight = 0;      // the room the creation template leaves beside the controls
    int marginBottom = 0;
    bool ended = false;
    bool fitting = false; // the window is being sized to its controls: no re-layout
};
std::map<HWND, DialogState>& Dialogs() {
    static std::map<HWND, DialogState> dialogs;
    return dialogs;
}

// The program file's name without its extension (the handheld's application title).
const std::wstring& ProgramTitle() {
    static const std::wstring title = [] {
        wchar_t path[MAX_PATH] = L"";
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring p(path, n);
        size_t slash = p.find_last_of(L"\\/");
        if (slash != std::wstring::npos)
            p.erase(0, slash + 1);
        size_t dot = p.find_last_of(L'.');
        if (dot != std::wstring::npos)
            p.erase(dot);
        return p.empty() ? std::wstring(L"vmod-versionup") : p;
    }();
    return title;
}

// The union of the children's rectangles, in the dialog's client pixels.
void ChildExtent(HWND dialog, LONG* right, LONG* bottom) {
    *right = 0;
    *bottom = 0;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        *right = std::max(*right, r.right);
        *bottom = std::max(*bottom, r.bottom);
    }
}

// Moves the window's size along with its controls, keeping the margin of its creation template:
// the handheld's dialog fills the screen; on a desktop the window is as large as its layout.
void FitDialog(HWND dialog, DialogState& st) {
    LONG right, bottom;
    ChildExtent(dialog, &right, &bottom);
    RECT client;
    GetClientRect(dialog, &client);
    LONG width = right + st.marginRight, height = bottom + st.marginBottom;
    if (client.right == width && client.bottom == height)
        return;
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
    st.fitting = true;
    SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    st.fitting = false;
}

LRESULT CALLBACK DialogSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* object = static_cast<CWnd*>(GetPropW(hwnd, kPropObject));
    auto super = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kPropSuper));
    if (message == WM_NCDESTROY || !object) {
        RemovePropW(hwnd, kPropObject);
        RemovePropW(hwnd, kPropSuper);
        return super ? CallWindowProcW(super, hwnd, message, wParam, lParam)
                     : DefWindowProcW(hwnd, message, wParam, lParam);
    }
    auto found = Dialogs().find(hwnd);
    if (found != Dialogs().end()) {
        DialogState& st = found->second;
        if (message == WM_SIZE && st.fitting)
            return CallWindowProcW(super, hwnd, message, wParam, lParam);
        // A turned screen or a changed task bar: the handheld tells its dialog by WM_SIZE.
        if (message == WM_DISPLAYCHANGE ||
            (message == WM_SETTINGCHANGE && wParam == SPI_SETWORKAREA)) {
            RECT client;
            GetClientRect(hwnd, &client);
            SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
        }
        if (message == WM_SIZE) {
            LRESULT result = object->WindowProc(message, wParam, lParam);
            found = Dialogs().find(hwnd);
            if (found != Dialogs().end())
                FitDialog(hwnd, found->second);
            return result;
        }
    }
    return object->WindowProc(message, wParam, lParam);
}

// The dialog manager's procedure: the object takes the window over at WM_INITDIALOG, after
// which every message goes through the subclass; the rest is the dialog manager's.
INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_INITDIALOG)
        return FALSE;
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    dialog->m_hWnd = hwnd;
    if (g_app && g_app->m_pMainWnd == dialog)
        g_mainWindow = hwnd;
    DialogState& st = Dialogs()[hwnd];
    st.textFont = vmod_win32::PendingTextFont();
    LONG right, bottom;
    ChildExtent(hwnd, &right, &bottom);
    RECT client;
    GetClientRect(hwnd, &client);
    st.marginRight = std::max<LONG>(0, client.right - right);
    st.marginBottom = std::max<LONG>(0, client.bottom - bottom);
    if (st.textFont)
        for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(st.textFont), FALSE);

    SetPropW(hwnd, kPropObject, dialog);
    SetPropW(hwnd, kPropSuper,
             reinterpret_cast<HANDLE>(SetWindowLongPtrW(
                 hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DialogSubclassProc))));

    LRESULT setFocus = dialog->WindowProc(WM_INITDIALOG, wParam, lParam);
    // The layout for the screen as it is, before the dialog is first drawn and before anything
    // OnInitDialog posted runs.
    auto found = Dialogs().find(hwnd);
    if (found != Dialogs().end() && !found->second.ended) {
        RECT c;
        GetClientRect(hwnd, &c);
        SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(c.right, c.bottom));
    }
    return setFocus;
}

} // namespace

// ---- windows ------------------------------------------------------------------------------------

CWnd::~CWnd() = default;

int CWnd::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
    return ::MessageBoxW(m_hWnd, text, caption ? caption : AfxGetAppName(), type);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (DispatchFromMap(message, wParam, lParam, &result))
        return result;
    if (message == WM_COMMAND && OnCommand(wParam, lParam))
        return 0;
    return Default(message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    (void)wParam, (void)lParam;
    return FALSE;
}

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    auto super = reinterpret_cast<WNDPROC>(GetPropW(m_hWnd, kPropSuper));
    return super ? CallWindowProcW(super, m_hWnd, message, wParam, lParam)
                 : DefWindowProcW(m_hWnd, message, wParam, lParam);
}

// ---- dialogs ------------------------------------------------------------------------------------

CDialog::CDialog(UINT templateId, CWnd* /*parent*/) : m_nIDTemplate(templateId) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    static const bool controlsReady = [] {
        INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
        return InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)controlsReady;
    HINSTANCE module = AfxGetResourceHandle();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(m_nIDTemplate), RT_DIALOG);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    if (!loaded)
        return -1;
    std::vector<BYTE> tpl;
    HFONT textFont = nullptr;
    if (!vmod_win32::PrepareDialogTemplate(static_cast<const BYTE*>(LockResource(loaded)),
                                           SizeofResource(module, found), &tpl, &textFont))
        return -1;
    vmod_win32::SetPendingTextFont(textFont);
    INT_PTR result =
        DialogBoxIndirectParamW(module, reinterpret_cast<const DLGTEMPLATE*>(tpl.data()), nullptr,
                                DialogProc, reinterpret_cast<LPARAM>(this));
    vmod_win32::SetPendingTextFont(nullptr);
    Dialogs().erase(m_hWnd);
    if (textFont)
        DeleteObject(textFont);
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
    auto found = Dialogs().find(m_hWnd);
    if (found != Dialogs().end())
        found->second.ended = true;
    ::EndDialog(m_hWnd, result);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    if (saveAndValidate || !IsWindow(m_hWnd))
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
    (void)lParam;
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

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    HWND item = GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
    if (!item) {
        pDX->m_bFailed = TRUE;
        return;
    }
    // Written only when it changes, so other threads reading the handle see one value.
    if (control.m_hWnd != item)
        control.m_hWnd = item;
}

void DDX_Text(CDataExchange* pDX, int id, CString& value) {
    HWND item = GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
    if (!item) {
        pDX->m_bFailed = TRUE;
        return;
    }
    SetWindowTextW(item, value);
}

// ---- threads ------------------------------------------------------------------------------------

struct VmodThreadHost {
    AFX_THREADPROC proc = nullptr;
    LPVOID param = nullptr;
    CWinThread* object = nullptr;
};

namespace {

std::mutex g_threadsMutex;
std::vector<HANDLE>& Threads() {
    static std::vector<HANDLE> threads;
    return threads;
}

// The handheld's levels 0 (time-critical) .. 7 (idle) on the desktop's scale.
int HostPriority(int priority) {
    static const int kMap[8] = {15, 2, 1, 0, -1, -2, -2, -15};
    return priority >= 0 && priority < 8 ? kMap[priority] : 0;
}

unsigned __stdcall ThreadStart(void* arg) {
    auto* host = static_cast<VmodThreadHost*>(arg);
    UINT code = host->proc(host->param);
    delete host->object;
    delete host;
    return code;
}

} // namespace

CWinThread::CWinThread() = default;
CWinThread::~CWinThread() = default;

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize,
                           DWORD createFlags, void* security) {
    (void)security;
    if (createFlags & CREATE_SUSPENDED)
        return nullptr;
    auto* object = new CWinThread;
    auto* host = new VmodThreadHost{proc, param, object};
    object->m_pHost = host;
    uintptr_t handle =
        _beginthreadex(nullptr, stackSize, ThreadStart, host, CREATE_SUSPENDED, nullptr);
    if (handle == 0) {
        delete object;
        delete host;
        return nullptr;
    }
    HANDLE thread = reinterpret_cast<HANDLE>(handle);
    SetThreadPriority(thread, HostPriority(priority));
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        Threads().push_back(thread);
    }
    ResumeThread(thread);
    return object;
}

// ---- the application ------------------------------------------------------------------------

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
    return ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id));
}

CWinApp* AfxGetApp() {
    return g_app;
}

CWnd* AfxGetMainWnd() {
    if (!g_app)
        return nullptr;
    if (GetCurrentThreadId() == g_uiThread)
        return g_app->m_pMainWnd;
    HWND main = g_mainWindow;
    if (!main)
        return nullptr;
    static std::mutex wrapperMutex;
    // Never destroyed: a worker may hold one to the end of the process.
    static auto* wrappers = new std::map<HWND, CWnd*>;
    std::lock_guard<std::mutex> lock(wrapperMutex);
    CWnd*& wrapper = (*wrappers)[main];
    if (!wrapper) {
        wrapper = new CWnd;
        wrapper->m_hWnd = main;
    }
    return wrapper;
}

LPCWSTR AfxGetAppName() {
    return g_app ? g_app->m_pszAppName : ProgramTitle().c_str();
}

HINSTANCE AfxGetInstanceHandle() {
    return GetModuleHandleW(nullptr);
}

HINSTANCE AfxGetResourceHandle() {
    return GetModuleHandleW(nullptr);
}

int AfxMessageBox(LPCWSTR text, UINT type, UINT helpId) {
    (void)helpId;
    return AfxMessageBoxNote(text, type, nullptr);
}

int AfxMessageBoxNote(LPCWSTR text, UINT type, LPCWSTR note) {
    HWND main = g_mainWindow;
    return MessageBoxNoteW(IsWindow(main) ? main : nullptr, text, AfxGetAppName(), type, note);
}

// The note goes under the text after an empty line: the system's box has no second text.
int MessageBoxNoteW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, LPCWSTR note) {
    if (!note || !*note)
        return MessageBoxW(owner, text, caption, type);
    std::wstring body = text ? text : L"";
    body += L"\r\n\r\n";
    body += note;
    return MessageBoxW(owner, body.c_str(), caption, type);
}

int AfxWinMain(int argc, char** argv) {
    (void)argc, (void)argv;
    g_uiThread = GetCurrentThreadId();
    CWinApp* app = AfxGetApp();
    if (!app)
        return 1;
    // The program's InitInstance runs its dialog and returns FALSE. A worker still running then
    // takes the dialog's end as an abort and closes its port; the process ends after it, or
    // without it once it has had 20 s.
    app->InitInstance();
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        threads = Threads();
    }
    ULONGLONG deadline = GetTickCount64() + 20000;
    for (HANDLE t : threads) {
        for (;;) {
            ULONGLONG now = GetTickCount64();
            DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            DWORD r = MsgWaitForMultipleObjects(1, &t, FALSE, wait, QS_ALLINPUT);
            if (r != WAIT_OBJECT_0 + 1)
                break;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        CloseHandle(t);
    }
    return 0;
}
