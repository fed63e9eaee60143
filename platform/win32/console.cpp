// The console on Windows: a console window that takes VT100 sequences counts as a terminal;
// Ctrl-C is an interrupt, Ctrl-Break, closing the window, logging off and shutting down are
// termination requests.
#include "platform/console.h"

#include <io.h>

#include <atomic>

#include "platform/types.h"

namespace {

std::atomic<int> g_interrupts{0};
std::atomic<int> g_terminations{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    (event == CTRL_C_EVENT ? g_interrupts : g_terminations).fetch_add(1);
    // Closing, logging off and shutting down end the process when the handler returns: the
    // update's own stop takes a line or two, so give it that long before answering.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(2000);
    return TRUE;
}

HANDLE ConsoleOf(FILE* stream) {
    if (!stream)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

} // namespace

bool ConsoleIsTerminal(FILE* stream) {
    const HANDLE h = ConsoleOf(stream);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
        return false; // a file, a pipe, or no console at all
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int ConsoleColumns(FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(ConsoleOf(stream), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0)
            return columns;
    }
    return 80;
}

int ConsoleCharColumns(wchar_t c) {
    // The East Asian wide and fullwidth blocks of the Basic Multilingual Plane, and the
    // combining marks a console draws over the character before them (Unicode's UAX #11).
    static const struct {
        wchar_t first, last;
        int columns;
    } kRanges[] = {
        {0x0300, 0x036F, 0}, {0x1100, 0x115F, 2}, {0x200B, 0x200F, 0}, {0x2E80, 0x303E, 2},
        {0x3041, 0x33FF, 2}, {0x3400, 0x4DBF, 2}, {0x4E00, 0x9FFF, 2}, {0xA000, 0xA4CF, 2},
        {0xAC00, 0xD7A3, 2}, {0xF900, 0xFAFF, 2}, {0xFE30, 0xFE4F, 2}, {0xFF00, 0xFF60, 2},
        {0xFFE0, 0xFFE6, 2},
    };
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return -1;
    for (const auto& r : kRanges)
        if (c >= r.first && c <= r.last)
            return r.columns;
    return 1;
}

void ConsoleCatchStops() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int ConsoleInterrupts() {
    return g_interrupts.load();
}

int ConsoleTerminations() {
    return g_terminations.load();
}
