// Internals of the dialog host shared by the files of platform/qt/. Not a public header.
//
// Model: every window (dialog or control) is a Window record reached by its HWND through one
// registry. Handles are numbers that are never reused, so a stale handle simply finds nothing.
// Records and widgets belong to the user-interface thread (the thread that created the
// QApplication); other threads reach them only through RunOnUi, which hands a call to that
// thread and waits for it, or through posted messages.
#pragma once

#include <QFont>
#include <QImage>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/afx.h"
#include "platform/dialog_template.h"
#include "platform/testing_ui.h"
#include "platform/winuser.h"

class QEventLoop;

namespace vmod_qt {

// ---- text -------------------------------------------------------------------------------------
QString ToQString(const wchar_t* text);
QString ToQString(const std::wstring& text);
std::wstring ToWString(const QString& text);

// ---- compiled resources (resources.cpp) ------------------------------------------------------
struct Resource {
    ResName type;
    ResName name;
    WORD language = 0;
    WORD memoryFlags = 0;
    const BYTE* data = nullptr;
    DWORD size = 0;
};

// The program module's resources, parsed once from the registered .res; empty when none is
// registered or the image is malformed.
const std::vector<Resource>& ModuleResources();
const char* ModuleFontConfig();
HINSTANCE ProgramModule();
const Resource* FindModuleResource(LPCWSTR name, LPCWSTR type);

// A loaded icon or bitmap: the decoded images (icons: one per image of the group, with the
// colour depth it was stored in).
struct Image {
    bool isIcon = false;
    std::vector<QImage> images;
    std::vector<int> bitsPerPixel;
};
Image* ImageFromHandle(const void* handle); // nullptr when not a live icon or bitmap

// ---- windows (handles.cpp, widgets.cpp) --------------------------------------------------------
enum class Kind { Dialog, Button, Edit, Static, ListBox, ScrollBar, ComboBox, Progress, Other };

struct DialogState;

struct Window {
    HWND hwnd = nullptr;
    Kind kind = Kind::Other;
    std::wstring className;
    DWORD style = 0;
    DWORD exStyle = 0;
    int id = 0;
    QPointer<QWidget> widget;
    Window* parent = nullptr;
    std::vector<Window*> children; // creation order
    CWnd* attached = nullptr;      // the program's window object bound to it, if any
    std::wstring text;
    HICON iconBig = nullptr, iconSmall = nullptr;
    HGDIOBJ image = nullptr; // a static's icon or bitmap
    int progressLow = 0, progressHigh = 100, progressPos = 0;
    std::unique_ptr<DialogState> dialog; // dialogs only
};

// A dialog's base units in pixels: a dialog unit is cx / 4 pixels across and cy / 8 down.
struct BaseUnits {
    int cx, cy;
};

// What a dialog window carries beyond a Window.
struct DialogState {
    CDialog* object = nullptr;
    BaseUnits units{0, 0};                 // from the template's font and texts
    int marginRight = 0, marginBottom = 0; // around the controls, kept when they move
    QEventLoop* loop = nullptr;
    bool ended = false;
    int result = 0;
};

bool IsUiThread();
// Calls f on the user-interface thread and returns its result; from that thread directly, from
// another one by handing it over and waiting. Returns failValue without waiting when there is no
// user-interface thread or it no longer serves calls (no dialog or message box loop running and
// no worker thread left to serve).
LRESULT RunOnUi(std::function<LRESULT()> f, LRESULT failValue);
// The loops that serve calls from other threads: DoModal, message boxes and the wait for the
// workers at the process's end count themselves in while they run. When the outermost ends
// and no worker thread runs, waiting callers are released with their failValue; while a worker
// runs, its calls wait for the next loop (the process's end serves them).
void EnterServingLoop();
void LeaveServingLoop();

Window* FindWindow(HWND hwnd);                // UI thread only
bool WindowExists(HWND hwnd);                 // any thread
Window* NewWindow(Kind kind, Window* parent); // registers a record with a fresh handle
void DestroyWindowTree(Window* window);       // unregisters and deletes it and its children

// The window class a template's class element names.
Kind KindOfClass(const ResName& cls);

// a * b / c rounded to the nearest, as the handheld's MulDiv; -1 when c is 0.
int MulDiv(int a, int b, int c);
// The base units of a dialog made from tpl and drawn in font: the font's own, grown in
// proportion where a static's or push button's text would not fit its control (dialog_layout.cpp).
BaseUnits DialogBaseUnits(const DialogTemplate& tpl, const QFont& font);
// A rectangle in dialog units in pixels, each edge converted on its own (MapDialogRect).
RECT ToPixels(RECT units, BaseUnits base);
// A template item's place in pixels, converted as ToPixels converts.
QRect ItemPixels(const DialogItem& item, BaseUnits base);

// A progress bar drawn as the handheld draws one of this style: in blocks unless PBS_SMOOTH.
QProgressBar* MakeProgressBar(QWidget* parent, DWORD style);
// Draws an edit on the dialog's own background instead of an input field's (read-only edits).
void DrawOnDialogBackground(QWidget* edit);

// Builds the dialog's window and controls from a template; nullptr if the template is bad.
Window* CreateDialogFromTemplate(const DialogTemplate& tpl, CDialog* object);

// Message delivery on the user-interface thread: the window's object (message map, framework
// defaults) when one is attached, else the class's default behaviour.
LRESULT DeliverMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The class's own behaviour for a message (what DefWindowProc and the controls do).
LRESULT DefaultMessage(Window* window, UINT msg, WPARAM wParam, LPARAM lParam);
bool SetText(Window* window, const std::wstring& text);

// Delivers WM_SIZE with the current client size to every open dialog.
void NotifyDialogsOfScreenChange();
// The dialogs' handles, from the registry; any thread.
std::vector<HWND> DialogWindows();
// Resizes a dialog's window to hold its controls and the margin its template left (widgets.cpp).
void FitDialog(Window* dialog);
// Follows the host's screens from now on (screen.cpp; EnsureApplication calls it once).
void WatchScreens();

// The message box host shared by MessageBoxW and AfxMessageBox and their note variants; a null
// or empty note shows none.
int ShowMessageBox(vmod_testing::BoxOwner owner, HWND ownerWindow, LPCWSTR text, LPCWSTR caption,
                   UINT type, LPCWSTR note = nullptr);

// Records the main window's handle when the main window object gets its window.
void SetMainWindowHandle(HWND hwnd);
HWND MainWindowHandle();

// Called by DoModal on the user-interface thread once a modal dialog is shown, before its loop
// starts; empty (none) unless a test sets one through SetDialogShownHook.
void SetShownHandler(std::function<void(CDialog*)> handler);

// Creates the QApplication on first use, after loading the font rules.
void EnsureApplication(int* argc = nullptr, char** argv = nullptr);
// Ends the QApplication that EnsureApplication created (AfxWinMain, before main returns).
void DeleteApplication();
// Applies SetCursor's state to the application (UI thread).
void ApplyCursor(bool busy);

// Screen metrics as reported by GetSystemMetrics / SPI_GETWORKAREA.
struct ScreenMetrics {
    int width = 0, height = 0;
    RECT workArea{0, 0, 0, 0};
};
ScreenMetrics CurrentScreenMetrics();
void SetScreenOverride(const ScreenMetrics* metrics); // nullptr: the host's screen

// Worker threads (framework.cpp).
void ReapFinishedThreads();
int RunningThreadCount();
// Whether a thread AfxBeginThread started has not yet returned from its procedure; any thread.
bool WorkerThreadsRunning();
// How long a worker may go on after the main window has ended without either returning or
// waiting for the user in a message box. A worker that sees the dialog's end stops within its
// longest wait and read (some seconds); this bounds a worker stuck in a call that never returns.
constexpr long long kWorkerEndLimitMs = 20000;
// Runs on the user-interface thread until every worker thread has returned, carrying out the
// window calls and message boxes the workers hand over, so that a box a worker raises as the
// program ends stays up until the user answers it. False if a worker neither returned nor
// waited in a box for some seconds (it is left running).
bool ServeWorkersToTheirEnd();
int LastThreadPriority();

// Runs call on the user-interface thread later; never waits, from any thread.
void PostCall(std::function<void()> call);

// Answers message boxes in place of the user; empty (real boxes) unless a test sets one through
// SetMessageBoxAnswerer.
void SetAnswerer(std::function<int(const vmod_testing::MessageBoxRecord&)> answer);

} // namespace vmod_qt
