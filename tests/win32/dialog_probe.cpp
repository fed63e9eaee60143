// dialog_probe: drives and reads vmod-versionup.exe's dialog from outside, as a user would, for
// the tests and the bench under Wine. Finds the dialog by its title.
//
//   dialog_probe identified SECONDS  waits until Start is enabled; prints the three version edits
//   dialog_probe start               clicks Start
//   dialog_probe answer SECONDS [no] waits for a message box, prints its caption and text and
//                                    presses OK (or No)
//   dialog_probe close               the window's close button (WM_CLOSE)
//   dialog_probe fit                 one line per static and push button: id, its rectangle on
//                                    the screen, the width its text needs in its font and the
//                                    width the control gives it
//   dialog_probe gone SECONDS        waits until the dialog's window is gone
//   dialog_probe text ID TEXT        puts TEXT (UTF-8) into control ID, as the program would
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

const wchar_t kTitle[] = L"KV615MQ VersionUp Tool";

HWND Dialog() {
    return FindWindowW(L"#32770", kTitle);
}

std::string Utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(std::strlen(s.c_str()));
    return s;
}

// WM_GETTEXT itself: GetWindowTextW does not ask a control of another process.
std::wstring Text(HWND w) {
    wchar_t buf[1024] = L"";
    DWORD_PTR result = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000,
                        &result);
    return buf;
}

// Waits up to seconds for pred; false on time-out.
template <class Pred> bool WaitFor(double seconds, Pred pred) {
    for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
        if (pred())
            return true;
        Sleep(50);
    }
    return pred();
}

// A message box of the program: a dialog window other than the version-up dialog whose
// process is the dialog's.
HWND FindBox(DWORD process) {
    struct Find {
        DWORD process;
        HWND found;
    } find{process, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* f = reinterpret_cast<Find*>(p);
            wchar_t cls[64] = L"";
            GetClassNameW(w, cls, 64);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == f->process && std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(w) &&
                Text(w) != kTitle) {
                f->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    return find.found;
}

int Fail(const char* what) {
    std::fprintf(stderr, "dialog_probe: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Fail("usage: dialog_probe identified|start|answer|fit|gone [SECONDS]");
    std::string cmd = argv[1];
    double seconds = argc > 2 ? std::atof(argv[2]) : 30;
    if (!WaitFor(cmd == "gone" ? 0 : seconds, [] { return Dialog() != nullptr; }))
        return cmd == "gone" ? 0 : Fail("no dialog");
    HWND dlg = Dialog();
    if (cmd == "identified") {
        HWND start = GetDlgItem(dlg, 1006);
        if (!WaitFor(seconds, [&] { return IsWindowEnabled(start) != FALSE; }))
            return Fail("Start was not enabled");
        std::printf("model=%s current=%s new=%s\n", Utf8(Text(GetDlgItem(dlg, 1000))).c_str(),
                    Utf8(Text(GetDlgItem(dlg, 1001))).c_str(),
                    Utf8(Text(GetDlgItem(dlg, 1002))).c_str());
        return 0;
    }
    if (cmd == "close") {
        PostMessageW(dlg, WM_CLOSE, 0, 0);
        return 0;
    }
    if (cmd == "start") {
        PostMessageW(GetDlgItem(dlg, 1006), BM_CLICK, 0, 0);
        return 0;
    }
    if (cmd == "answer") {
        DWORD process = 0;
        GetWindowThreadProcessId(dlg, &process);
        HWND box = nullptr;
        if (!WaitFor(seconds, [&] { return (box = FindBox(process)) != nullptr; }))
            return Fail("no message box");
        std::printf("caption=%s text=%s\n", Utf8(Text(box)).c_str(),
                    Utf8(Text(GetDlgItem(box, 0xFFFF))).c_str());
        std::fflush(stdout);
        int button = argc > 3 && std::strcmp(argv[3], "no") == 0 ? IDNO : IDOK;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return 0;
    }
    if (cmd == "fit") {
        for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            wchar_t cls[64] = L"";
            GetClassNameW(c, cls, 64);
            bool button = _wcsicmp(cls, L"Button") == 0;
            if (!IsWindowVisible(c) || (!button && _wcsicmp(cls, L"Static") != 0))
                continue;
            std::wstring text = Text(c);
            RECT r;
            GetWindowRect(c, &r);
            // A font handle is the dialog's process's own: the probe makes the template's font,
            // 9 point "MS UI Gothic", the size the dialog draws its texts in.
            HDC dc = GetDC(c);
            HFONT font = CreateFontW(-MulDiv(9, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0,
                                     FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                     DEFAULT_PITCH | FF_DONTCARE, L"MS UI Gothic");
            HGDIOBJ old = SelectObject(dc, font);
            SIZE size{0, 0};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
            SelectObject(dc, old);
            DeleteObject(font);
            ReleaseDC(c, dc);
            RECT client;
            GetClientRect(c, &client);
            int room = client.right - (button ? 2 * (GetSystemMetrics(SM_CXEDGE) + 2) : 0);
            std::printf("%d %ld %ld %ld %ld %ld %d %s\n", GetDlgCtrlID(c), r.left, r.top, r.right,
                        r.bottom, size.cx, room, Utf8(text).c_str());
        }
        return 0;
    }
    if (cmd == "text" && argc > 3) {
        // The text as typed: the wide command line, not the narrow argv's code page.
        int n = 0;
        LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &n);
        if (!wargv || n < 4)
            return Fail("no text");
        DWORD_PTR result = 0;
        SendMessageTimeoutW(GetDlgItem(dlg, std::atoi(argv[2])), WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(wargv[3]), SMTO_ABORTIFHUNG, 5000, &result);
        LocalFree(wargv);
        return 0;
    }
    if (cmd == "gone")
        return WaitFor(seconds, [] { return Dialog() == nullptr; }) ? 0 : Fail("dialog still up");
    return Fail("unknown command");
}
