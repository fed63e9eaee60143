// Windows, controls, messages, message boxes and resources of the handheld API: the subset the
// program calls, with the semantics it relies on. Implemented on Qt 6 Widgets (platform/qt/).
//
// Threads: the user-interface thread is the one that runs the dialog. Every call below that
// touches a window may be made from another thread too; it is then carried out on the
// user-interface thread while the caller waits. Once the window is gone (its dialog ended),
// such calls return at once with the failure value instead of waiting.
//
// The constants are plain macros so that the resource script can share them; the resource
// compiler's preprocessor defines RC_INVOKED and sees only those.
//
// On Windows the constants and calls are the system's own (<windows.h>, <commctrl.h>); only
// this project's additions are declared here for it. A resource compiler takes the plain macros
// below on every host (llvm-rc defines _WIN32 on Linux too).
#pragma once

#if defined(_WIN32) && !defined(RC_INVOKED)
#include <windows.h>
#include <commctrl.h>
#ifndef WS_EX_CAPTIONOKBTN
#define WS_EX_CAPTIONOKBTN 0x80000000L // the handheld's caption OK button; no such style here
#endif
#define ID_APP_EXIT 0xE141 // the framework's application-exit command: closes the main window
#else

// ---- window messages -------------------------------------------------------------------------
#define WM_SIZE 0x0005       // wParam size type, lParam MAKELPARAM(client width, client height)
#define WM_SETTEXT 0x000C    // lParam the new text; returns TRUE
#define WM_CLOSE 0x0010      // a dialog answers it with its cancel command (IDCANCEL)
#define WM_SETICON 0x0080    // wParam ICON_BIG or ICON_SMALL, lParam the HICON; returns the old one
#define WM_INITDIALOG 0x0110 // the dialog's controls exist; handled by CDialog::OnInitDialog
#define WM_COMMAND 0x0111    // wParam MAKEWPARAM(id, notification code), lParam the control or 0
#define WM_USER 0x0400       // first private message number

#define ICON_SMALL 0 // WM_SETICON: the caption / task-bar icon
#define ICON_BIG 1   // WM_SETICON: the switcher icon

#define SIZE_RESTORED 0 // WM_SIZE size type

// ---- command ids and notification codes --------------------------------------------------------
#define IDOK 1             // the dialog's OK command (Enter key, caption OK button)
#define IDCANCEL 2         // the dialog's cancel command (Escape key, window close)
#define IDYES 6            // message box answer: the Yes button
#define IDNO 7             // message box answer: the No button
#define ID_APP_EXIT 0xE141 // application-exit command: closes the main window
#define BN_CLICKED 0       // WM_COMMAND notification: a push button was clicked

// ---- message box types and answers -------------------------------------------------------------
#define MB_OK 0x00000000L         // one OK button
#define MB_YESNO 0x00000004L      // Yes and No buttons; Escape answers No
#define MB_TYPEMASK 0x0000000FL   // the button bits of a type
#define MB_DEFBUTTON2 0x00000100L // the second button is the default (Enter)
#define MB_DEFMASK 0x00000F00L    // the default-button bits of a type
#define MB_ICONHAND 0x00000010L   // stop / error icon
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONQUESTION 0x00000020L    // question icon
#define MB_ICONEXCLAMATION 0x00000030L // warning icon
#define MB_ICONASTERISK 0x00000040L    // information icon
#define MB_ICONMASK 0x000000F0L        // the icon bits of a type

// ---- ShowWindow ---------------------------------------------------------------------------------
#define SW_HIDE 0       // hidden
#define SW_SHOWNORMAL 1 // visible
#define SW_SHOW 5       // visible

// ---- control messages ---------------------------------------------------------------------------
#define PBM_SETRANGE 0x0401 // lParam MAKELPARAM(low, high); returns the old range the same way
#define PBM_SETPOS 0x0402   // wParam the position (clamped to the range); returns the old one
#define PBM_GETPOS 0x0408   // returns the position
#define STM_SETIMAGE 0x0172 // wParam IMAGE_*, lParam the handle; returns the old image
#define STM_GETIMAGE 0x0173 // wParam IMAGE_*; returns the image (0 for a text static)
#define LB_SETCURSEL 0x0186 // wParam the index or -1; returns LB_ERR for -1 or a bad index
#define LB_GETCURSEL 0x0188 // returns the selected index or LB_ERR
#define CB_GETCURSEL 0x0147 // returns the selected index or CB_ERR
#define CB_SETCURSEL 0x014E // wParam the index or -1
#define LB_ERR (-1)
#define CB_ERR (-1)
#define IMAGE_BITMAP 0
#define IMAGE_ICON 1

// ---- window and control styles (32-bit style words of dialog templates) -------------------------
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_APPWINDOW 0x00040000L    // listed as an application window
#define WS_EX_CAPTIONOKBTN 0x80000000L // the caption carries an OK button (sends IDOK)
#define DS_SETFONT 0x40L               // the template names its font
#define ES_LEFT 0x0000L
#define ES_MULTILINE 0x0004L
#define ES_AUTOVSCROLL 0x0040L
#define ES_AUTOHSCROLL 0x0080L
#define ES_READONLY 0x0800L
#define SS_LEFT 0x0000L
#define SS_ICON 0x0003L
#define SS_BITMAP 0x000EL
#define BS_PUSHBUTTON 0x0000L
#define BS_DEFPUSHBUTTON 0x0001L
#define LBS_NOTIFY 0x0001L
#define LBS_SORT 0x0002L
#define LBS_NOINTEGRALHEIGHT 0x0100L
#define PBS_SMOOTH 0x01

// Class name of the progress bar, named by string in dialog templates.
#define PROGRESS_CLASSW L"msctls_progress32"

// ---- system metrics
// ------------------------------------------------------------------------------
#define SM_CXSCREEN 0        // screen width in pixels
#define SM_CYSCREEN 1        // screen height in pixels
#define SPI_GETWORKAREA 0x30 // pvParam a RECT: the screen less the system's bars, in pixels

// ---- DeferWindowPos flags
// ------------------------------------------------------------------------
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOACTIVATE 0x0010

// ---- resources
// -----------------------------------------------------------------------------------
#define MAKEINTRESOURCEW(i)                                                                        \
    (reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<uintptr_t>(p) >> 16) == 0)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define IDC_WAIT MAKEINTRESOURCEW(32514) // the system's busy cursor

#define MAKELPARAM(lo, hi)                                                                         \
    (static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(lo) |                                \
                                            (static_cast<DWORD>(static_cast<WORD>(hi)) << 16))))
#define MAKEWPARAM(lo, hi)                                                                         \
    (static_cast<WPARAM>(static_cast<DWORD>(static_cast<WORD>(lo) |                                \
                                            (static_cast<DWORD>(static_cast<WORD>(hi)) << 16))))
#define LOWORD(v) (static_cast<WORD>(static_cast<uintptr_t>(v) & 0xFFFF))
#define HIWORD(v) (static_cast<WORD>((static_cast<uintptr_t>(v) >> 16) & 0xFFFF))

#endif // _WIN32 && !RC_INVOKED

#ifndef RC_INVOKED

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

#ifndef _WIN32

// More opaque handles; nullptr is "none".
struct HCURSOR__;
typedef HCURSOR__* HCURSOR;
struct HGDIOBJ__;
typedef HGDIOBJ__* HGDIOBJ;
typedef HGDIOBJ HBITMAP; // a bitmap is a GDI object (DeleteObject releases it)
struct HRSRC__;
typedef HRSRC__* HRSRC; // a resource found in a module
typedef void* HGLOBAL;  // a loaded resource: the address of its bytes
struct HDWP__;
typedef HDWP__* HDWP; // a batch of deferred window moves
typedef HINSTANCE HMODULE;
typedef void* PVOID;

// A rectangle in pixels or dialog units; right and bottom are exclusive.
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

// ---- windows ----------------------------------------------------------------------------------
// Delivers msg to the window and returns its result once handled. 0 when hwnd is no window.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues msg for the window's thread and returns at once, from any thread; never waits.
// FALSE when hwnd is no window. Messages to one window are handled in the order posted.
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Sets a window's text (title of a top-level window, text of a control). FALSE if no window.
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);
// Enables (TRUE) or disables a window; returns nonzero if it was disabled before.
BOOL EnableWindow(HWND hwnd, BOOL enable);
// Whether a window takes input (not disabled); FALSE for no window.
BOOL IsWindowEnabled(HWND hwnd);
// Shows (SW_SHOW, SW_SHOWNORMAL) or hides (SW_HIDE) a window; returns nonzero if it was visible.
BOOL ShowWindow(HWND hwnd, int cmdShow);
// Shows a modal message box and returns the button pressed (IDOK; IDYES or IDNO for MB_YESNO),
// 0 on failure. owner nullptr: a box of its own; caption nullptr: "Error". Waits until the
// user dismisses it.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
// ---- cursor -----------------------------------------------------------------------------------
// A system cursor (instance nullptr, IDC_WAIT); other names give nullptr.
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);
// Shows cursor over the program's windows (the busy cursor for IDC_WAIT); nullptr takes it down.
// Returns the cursor shown before. Never waits, from any thread.
HCURSOR SetCursor(HCURSOR cursor);

// ---- resources of a module --------------------------------------------------------------------
// Finds a resource by name and type (each a MAKEINTRESOURCEW number or a string, compared
// without regard to case) in the module's compiled resources; nullptr when there is none.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
// The resource's bytes, valid until the process ends; nullptr for a null resource.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// The address of a loaded resource's bytes (the handle itself).
inline LPVOID LockResource(HGLOBAL loaded) {
    return loaded;
}
// The size of a found resource in bytes; 0 for a null resource.
DWORD SizeofResource(HMODULE module, HRSRC resource);
// Loads an icon group resource (RT_GROUP_ICON) with all its images; nullptr if not found.
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
// Loads a bitmap resource (RT_BITMAP); nullptr if not found.
HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name);
// Releases an icon from LoadIconW or STM_GETIMAGE; FALSE for nullptr.
BOOL DestroyIcon(HICON icon);
// Releases a bitmap; FALSE for nullptr.
BOOL DeleteObject(HGDIOBJ object);

// ---- layout -----------------------------------------------------------------------------------
// SM_CXSCREEN / SM_CYSCREEN in pixels; 0 for other indexes. From another thread the
// user-interface thread answers, as for the window calls.
int GetSystemMetrics(int index);
// SPI_GETWORKAREA into the RECT at pvParam; FALSE for other actions. Threads as GetSystemMetrics.
BOOL SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT winIni);
// The child of a dialog with the given control id; nullptr if there is none.
HWND GetDlgItem(HWND dialog, int id);
// Converts a rectangle from the dialog's units to pixels (through its font's base units:
// x * cxChar / 4, y * cyChar / 8, rounded). FALSE if hwnd is no dialog.
BOOL MapDialogRect(HWND dialog, RECT* rect);
// Opens a batch for count window moves; nullptr if count is negative.
HDWP BeginDeferWindowPos(int count);
// Queues a move/resize of hwnd (a child, in its parent's client pixels) in the batch; returns
// the batch to go on with, or nullptr if hwnd is no window (the batch stays as it was).
HDWP DeferWindowPos(HDWP batch, HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy,
                    UINT flags);
// Applies all queued moves together and frees the batch; FALSE for nullptr.
BOOL EndDeferWindowPos(HDWP batch);
// SendMessageW to the dialog's child with the given id; 0 if there is none.
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam);
// SetWindowTextW on the dialog's child with the given id; FALSE if there is none.
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);

#endif // !_WIN32

// This project's own extension: MessageBoxW with a note under its text, shown in the box itself
// (no further click), its lines as given ('\n' between them). A null or empty note gives
// exactly MessageBoxW's box.
int MessageBoxNoteW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, LPCWSTR note);

#ifndef _WIN32
// ---- the program's compiled resources ---------------------------------------------------------
// Registers the program file's compiled resources (a 32-bit .res image; the bytes must stay
// valid until the process ends) and the fontconfig rules that resolve the template fonts. The
// build's generated resource object calls it during static initialisation.
void VmodRegisterModuleResources(const BYTE* res, size_t size, const char* fontConfigXml);

#endif // !_WIN32

#endif // RC_INVOKED
