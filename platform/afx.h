// The dialog framework: application object, worker threads, windows, dialogs, controls, data
// exchange and message maps. The least the program needs, with the handheld framework's names
// and semantics. Implemented on Qt 6 Widgets (platform/qt/) and on Win32 dialogs (platform/win32/).
#pragma once

#include "platform/cstring.h"
#include "platform/types.h"
#include "platform/winuser.h"

class CCmdTarget;
class CWnd;
class CDialog;
class CDataExchange;
struct VmodThreadHost;

// Marks message handlers in class bodies; no effect.
#define afx_msg

// ---- message maps ---------------------------------------------------------------------------
// One entry of a class's message map. Exactly one of the handler pointers is set.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;                                     // window message; 0 ends the map
    UINT nCode;                                        // WM_COMMAND: notification code
    UINT nID;                                          // WM_COMMAND: control or command id
    void (CCmdTarget::*pfnCommand)();                  // WM_COMMAND handler
    void (CCmdTarget::*pfnSize)(UINT, int, int);       // WM_SIZE handler (type, width, height)
    LRESULT (CCmdTarget::*pfnMessage)(WPARAM, LPARAM); // any other message
};

// A class's map and the way to its base class's map; searched derived first.
struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// In the class body: declares the class's message map.
#define DECLARE_MESSAGE_MAP()                                                                      \
  protected:                                                                                       \
    static const AFX_MSGMAP* GetThisMessageMap();                                                  \
    const AFX_MSGMAP* GetMessageMap() const override;

// In the .cpp: defines theClass's map; entries follow, END_MESSAGE_MAP closes it.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const {                                            \
        return GetThisMessageMap();                                                                \
    }                                                                                              \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                              \
        typedef theClass ThisClass;                                                                \
        typedef baseClass TheBaseClass;                                                            \
        (void)sizeof(ThisClass*);                                                                  \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, 0, nullptr, nullptr, nullptr }                                                         \
    }                                                                                              \
    ;                                                                                              \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]};  \
    return &messageMap;                                                                            \
    }

// WM_COMMAND with BN_CLICKED from control id: void memberFxn().
#define ON_BN_CLICKED(id, memberFxn)                                                               \
    {                                                                                              \
        WM_COMMAND,                                                                                \
        BN_CLICKED,                                                                                \
        static_cast<UINT>(id),                                                                     \
        static_cast<void (CCmdTarget::*)()>(memberFxn),                                            \
        nullptr,                                                                                   \
        nullptr},
// WM_COMMAND with command id (notification 0): void memberFxn().
#define ON_COMMAND(id, memberFxn)                                                                  \
    {WM_COMMAND, 0,      static_cast<UINT>(id), static_cast<void (CCmdTarget::*)()>(memberFxn),    \
     nullptr,    nullptr},
// WM_SIZE: void OnSize(UINT nType, int cx, int cy) of the class.
#define ON_WM_SIZE()                                                                               \
    {                                                                                              \
        WM_SIZE,                                                                                   \
        0,                                                                                         \
        0,                                                                                         \
        nullptr,                                                                                   \
        static_cast<void (CCmdTarget::*)(UINT, int, int)>(&ThisClass::OnSize),                     \
        nullptr},
// Any message number (e.g. WM_USER + n): LRESULT memberFxn(WPARAM, LPARAM).
#define ON_MESSAGE(message, memberFxn)                                                             \
    {static_cast<UINT>(message),                                                                   \
     0,                                                                                            \
     0,                                                                                            \
     nullptr,                                                                                      \
     nullptr,                                                                                      \
     static_cast<LRESULT (CCmdTarget::*)(WPARAM, LPARAM)>(memberFxn)},

// The root of everything that has a message map.
class CCmdTarget {
  public:
    virtual ~CCmdTarget() = default;
    static const AFX_MSGMAP* GetThisMessageMap(); // the empty root map
    virtual const AFX_MSGMAP* GetMessageMap() const;
    // Runs the first matching entry of this object's map chain; FALSE when none matched.
    BOOL DispatchFromMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
};

// ---- threads ----------------------------------------------------------------------------------
typedef UINT (*AFX_THREADPROC)(LPVOID param);

// The handheld's priority scale: 0 time-critical ... 7 idle, 3 normal. It replaces the
// desktop's names where <windows.h> gave them other values: the program speaks the handheld's.
#undef THREAD_PRIORITY_TIME_CRITICAL
#undef THREAD_PRIORITY_HIGHEST
#undef THREAD_PRIORITY_ABOVE_NORMAL
#undef THREAD_PRIORITY_NORMAL
#undef THREAD_PRIORITY_BELOW_NORMAL
#undef THREAD_PRIORITY_LOWEST
#undef THREAD_PRIORITY_ABOVE_IDLE
#undef THREAD_PRIORITY_IDLE
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7
#ifndef CREATE_SUSPENDED
#define CREATE_SUSPENDED 0x00000004
#endif

// A thread of the program. Worker thread objects delete themselves when their thread ends.
class CWinThread : public CCmdTarget {
  public:
    CWinThread();
    ~CWinThread() override;
    CWnd* m_pMainWnd = nullptr; // the main window; commands posted to it reach the program

  private:
    VmodThreadHost* m_pHost = nullptr; // the host's state of a worker thread
    friend CWinThread* AfxBeginThread(AFX_THREADPROC, LPVOID, int, UINT, DWORD, void*);
    friend struct VmodThreadHost;
};

// Starts proc(param) on a new worker thread at the given priority of the handheld's scale
// (mapped to the nearest level the host lets an unprivileged process use; the thread runs
// either way). stackSize 0 and security nullptr are the defaults; CREATE_SUSPENDED is not
// supported (nullptr). Returns the thread object, which deletes itself when proc returns;
// nullptr if the thread could not be started.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0, void* security = nullptr);

// The application object. Exactly one, global; the framework calls InitInstance once on the
// user-interface thread and ends the process when it returns FALSE.
class CWinApp : public CWinThread {
  public:
    explicit CWinApp(LPCWSTR appName = nullptr); // registers the one application object
    ~CWinApp() override;
    // The program's start-up hook; FALSE ends the program without a message loop.
    virtual BOOL InitInstance();
    // Icon group resource id of the program's module; nullptr if not found.
    HICON LoadIcon(UINT id) const;
    // WM_COMMAND ID_APP_EXIT: sends WM_CLOSE to m_pMainWnd (a dialog then ends as cancelled).
    void OnAppExit();

    LPCWSTR m_pszAppName; // the title: the program file's name without its extension

  protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;
};

// The one application object; nullptr before it is constructed.
CWinApp* AfxGetApp();
// The application's main window: on the user-interface thread AfxGetApp()->m_pMainWnd; on a
// worker thread a framework-owned object for the main window's handle, valid for the whole
// process even after the main window object is gone. nullptr if there is no main window.
CWnd* AfxGetMainWnd();
// The application's title (the program file's name without its extension).
LPCWSTR AfxGetAppName();
// The program's own module: its compiled resources.
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// Application message box: owner the main window (none if there is none), caption the
// application's title. Returns the button pressed (IDOK); waits until dismissed.
int AfxMessageBox(LPCWSTR text, UINT type = MB_OK, UINT helpId = 0);
// This project's own extension: AfxMessageBox with a note under its text, as MessageBoxNoteW
// shows it. A null or empty note gives exactly AfxMessageBox's box.
int AfxMessageBoxNote(LPCWSTR text, UINT type, LPCWSTR note);

// The process entry: creates the user-interface thread's framework, runs the application
// object's InitInstance and returns the process exit code. The program's main calls it.
int AfxWinMain(int argc, char** argv);

// ---- windows ----------------------------------------------------------------------------------
// A window object, attached to a window by m_hWnd. When the window is destroyed the object keeps
// the handle's value: handles are never reused, so calls on it fail as on any destroyed window,
// and another thread still reading m_hWnd sees no change.
class CWnd : public CCmdTarget {
  public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    void SetWindowText(LPCWSTR text) { ::SetWindowTextW(m_hWnd, text); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int cmdShow) { return ::ShowWindow(m_hWnd, cmdShow); }
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }
    // Sets the window's big (TRUE) or small icon by WM_SETICON; returns the old one.
    HICON SetIcon(HICON icon, BOOL big) {
        return reinterpret_cast<HICON>(::SendMessageW(
            m_hWnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
    }
    // A message box owned by this window; caption nullptr gives the application's title.
    int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK);

    // The framework's handling of a message after the map: called on the user-interface thread.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;

  protected:
    // WM_COMMAND not handled by the map; FALSE if nobody handled it.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // Default handling: the control's own behaviour for its class.
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);
};

// Control window objects; the control's behaviour comes from its class in the template.
class CEdit : public CWnd {};
class CStatic : public CWnd {};
class CButton : public CWnd {};
class CListBox : public CWnd {};
class CProgressCtrl : public CWnd {
  public:
    void SetRange(short lower, short upper) {
        ::SendMessageW(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
    }
    int SetPos(int pos) { return static_cast<int>(::SendMessageW(m_hWnd, PBM_SETPOS, pos, 0)); }
    int GetPos() { return static_cast<int>(::SendMessageW(m_hWnd, PBM_GETPOS, 0, 0)); }
};

// ---- dialogs ----------------------------------------------------------------------------------
// A modal dialog created from a numbered template of the program's resources.
class CDialog : public CWnd {
  public:
    // The parent is accepted as the program passes it and not kept: the host's dialogs are
    // top-level windows.
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // Creates the dialog and its controls from the template, calls OnInitDialog, shows it and
    // runs its message loop until EndDialog. Returns the EndDialog code, -1 if the template is
    // missing or malformed. The window is destroyed before it returns. WM_SIZE first arrives
    // when the dialog is shown (after OnInitDialog), then whenever the screen changes; the
    // window keeps the margin its template leaves around the controls when they are moved.
    virtual INT_PTR DoModal();
    // The controls exist; binds and fills them (UpdateData(FALSE)). TRUE: the framework sets
    // the focus to the first tab stop.
    virtual BOOL OnInitDialog();
    // IDOK: EndDialog(IDOK). (The program's dialog overrides it to do nothing.)
    virtual void OnOK();
    // IDCANCEL: EndDialog(IDCANCEL).
    virtual void OnCancel();
    // Ends the modal loop with the code once the current handler (and any message box shown
    // from it) returns; callable during OnInitDialog, which then skips the loop.
    void EndDialog(int result);
    // Runs DoDataExchange, moving member values into the controls; the program never reads
    // its controls back, so saveAndValidate TRUE is refused. FALSE also when the dialog has no
    // window or a bound control is missing.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  protected:
    // The dialog's control bindings (DDX_ calls).
    virtual void DoDataExchange(CDataExchange* pDX);
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

  private:
    UINT m_nIDTemplate;
};

// The state of one UpdateData pass.
class CDataExchange {
  public:
    explicit CDataExchange(CDialog* dialog) : m_pDlgWnd(dialog) {}
    CDialog* m_pDlgWnd;
    BOOL m_bFailed = FALSE; // a bound control was missing
};

// Attaches control to the dialog's child id (once; later passes leave it attached). A missing
// child marks the pass failed and leaves control detached.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// Moves value into the child id's text. A missing child marks the pass failed and changes
// nothing.
void DDX_Text(CDataExchange* pDX, int id, CString& value);
