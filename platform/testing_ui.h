// Test seams and probes of the dialog host: what in-process tests use to answer message boxes,
// turn the screen, drive a running dialog and look at its windows. They are built into
// vmod_platform_qt_testing, which only tests link: the shipped program holds none of them (the
// host keeps only the types below and empty slots these functions fill). Unless a comment says
// otherwise, call them on the user-interface thread (the thread that runs the dialog: the
// test's main thread).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/winuser.h"

class CDialog;

namespace vmod_testing {

// ---- message boxes ----------------------------------------------------------------------------
// Who a message box belongs to, as the program asked for it.
enum class BoxOwner {
    Application, // AfxMessageBox: owner the main window, caption the application's title
    Dialog,      // MessageBoxW / CWnd::MessageBox with an owner window
    None,        // MessageBoxW with no owner
};

struct MessageBoxRecord {
    BoxOwner owner;
    HWND ownerWindow; // the owner's window; nullptr for BoxOwner::None
    std::wstring text;
    std::wstring caption;   // as shown: the application's title for BoxOwner::Application
    UINT type;              // MB_ flags as given
    bool onUiThread;        // asked for on the user-interface thread
    std::wstring note = {}; // MessageBoxNoteW / AfxMessageBoxNote: the note as given; else empty
};

// Answers every message box in place of the user: called on the thread that asked for the box,
// one call at a time, instead of showing it; its result is what the box returns (IDOK). Safe to
// set while no box can be asked for. Empty restores real boxes.
void SetMessageBoxAnswerer(std::function<int(const MessageBoxRecord&)> answer);

// ---- screen -----------------------------------------------------------------------------------
// What GetSystemMetrics and SPI_GETWORKAREA report from now on. A change delivers WM_SIZE to
// every open dialog, as a rotation of the handheld's screen does.
void SetScreenMetrics(int width, int height, RECT workArea);
// Back to the host's primary screen (also delivers WM_SIZE if the metrics change).
void ResetScreenMetrics();

// ---- driving a dialog -------------------------------------------------------------------------
// Makes the calling thread the user-interface thread (creates the toolkit's application) if no
// thread is yet; DoModal does this itself.
void EnsureUserInterface();
// Called on the user-interface thread each time a modal dialog has been shown, before its
// message loop starts; the dialog's OnInitDialog has returned. Empty: none.
void SetDialogShownHook(std::function<void(CDialog*)> hook);
// Runs task on the user-interface thread from its message loop, after the messages posted
// before it. Callable from any thread; dropped if no dialog or message box ever runs a loop.
void PostToUi(std::function<void()> task);
// Handles every message and task posted so far, then returns.
void ProcessMessages();
// Pumps messages until every worker thread from AfxBeginThread has returned.
void WaitForWorkerThreads();
// The handheld priority (0..7) the last AfxBeginThread asked for; -1 before any.
int LastWorkerPriority();

enum class Key { Enter, Escape, Space, Tab };
// A key press and release delivered to the focused control of the window's dialog (to the
// dialog itself when no control has the focus).
void PressKey(HWND window, Key key);
// A mouse click in the middle of a control; nothing happens if it is disabled or hidden.
void Click(HWND control);
// The window manager's close button of a top-level window.
void CloseFromTitleBar(HWND window);
// Presses OK on the real message box that is up (no answerer set); false if none is up. Its
// text and the note it shows (empty when none) are stored into *text and *note when given.
bool PressOkOnMessageBox(std::wstring* text = nullptr, std::wstring* note = nullptr);
// Whether a real message box is up; its text and note are stored into *text and *note when given.
bool MessageBoxUp(std::wstring* text = nullptr, std::wstring* note = nullptr);
// A key on the real message box that is up, as the keyboard gives it: Enter presses its default
// button, Escape its escape button. False if none is up.
bool PressKeyOnMessageBox(Key key);

// ---- looking at windows -----------------------------------------------------------------------
// All of these give an empty / zero / false answer for something that is no window.
std::wstring WindowText(HWND window); // title or control text, exactly as last set
bool IsEnabled(HWND window);
bool IsShown(HWND window);      // its own visible flag (WS_VISIBLE), not its parent's
DWORD WindowStyle(HWND window); // style word, WS_VISIBLE and WS_DISABLED kept current
DWORD WindowExStyle(HWND window);
std::wstring ClassName(HWND window); // "Button", "Edit", "Static", "ListBox", PROGRESS_CLASSW
int ControlId(HWND window);
RECT WindowRect(HWND window);            // a child: in its parent's client pixels; a dialog: its
                                         // client area at (0, 0)
std::vector<HWND> Children(HWND dialog); // in creation (tab and z) order
HWND FocusWindow();                      // the window with the keyboard focus, or nullptr
HICON WindowIcon(HWND window, bool big); // as last set by WM_SETICON
int ProgressPos(HWND progress);
bool BusyCursorShown();               // SetCursor(LoadCursorW(nullptr, IDC_WAIT)) in force
std::wstring FontFamily(HWND window); // family the window's font resolved to on this host

struct IconImage {
    int width;
    int height;
    int bitsPerPixel;
};
std::vector<IconImage> IconImages(HICON icon); // the images an icon was loaded from

// A static's or push button's text: how wide it is drawn in the control's font, and how much
// width the control gives it (inside its frame and margins), in pixels. Zeros for other windows.
struct TextFit {
    int needed = 0;
    int room = 0;
};
TextFit MeasureText(HWND control);
// One row of pixels (0xAARRGGBB) of the window and its children as the screen would show them,
// y in the window's pixels; empty outside it.
std::vector<uint32_t> RenderedRow(HWND window, int y);

// Renders the window and its children as the screen would show them, into a PNG file.
bool SaveScreenshot(HWND window, const std::string& pngPath);

} // namespace vmod_testing
