#include "platform/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cwchar>

namespace {

std::atomic<int> g_interrupts{0};
std::atomic<int> g_terminations{0};

extern "C" void OnStopSignal(int signal) {
    (signal == SIGINT ? g_interrupts : g_terminations).fetch_add(1);
}

} // namespace

bool ConsoleIsTerminal(FILE* stream) {
    return stream && isatty(fileno(stream)) != 0;
}

int ConsoleColumns(FILE* stream) {
    winsize size{};
    if (stream && ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void ConsoleCatchStops() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int ConsoleInterrupts() {
    return g_interrupts.load();
}

int ConsoleTerminations() {
    return g_terminations.load();
}

int ConsoleCharColumns(wchar_t c) {
    return wcwidth(c);
}
