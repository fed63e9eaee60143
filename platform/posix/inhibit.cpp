// HostInhibitSleepBegin/End on systemd-inhibit: without a D-Bus library the lock is held by a
// child "systemd-inhibit ... cat" whose input is a pipe from this process. Closing the pipe, or
// this process ending in any way, ends cat, and with it the lock: no lock outlives the tool.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/inhibit.h"
#include "platform/posix/inhibit_process.h"
#include "platform/posix/utf8.h"
#include "platform/testing.h"

extern char** environ;

namespace vmod_posix {

namespace {

std::mutex g_mutex;
pid_t g_child = -1;
int g_pipe = -1; // write end; the child's standard input

// How long a child that cannot have the lock takes to say so, at most, and how long a child
// whose input ended gets to release the lock before it is killed.
constexpr auto kSettle = std::chrono::milliseconds(300);
constexpr auto kRelease = std::chrono::milliseconds(2000);

bool Exited(pid_t pid) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    return r == pid || (r < 0 && errno == ECHILD);
}

bool WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!Exited(pid)) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void StopLocked() {
    if (g_pipe >= 0) {
        close(g_pipe);
        g_pipe = -1;
    }
    if (g_child > 0) {
        if (!WaitExit(g_child, kRelease)) {
            kill(g_child, SIGKILL);
            WaitExit(g_child, kRelease);
        }
        g_child = -1;
    }
}

} // namespace

std::vector<std::string> InhibitorCommand(const std::string& whyUtf8) {
    return {"systemd-inhibit",  "--what=sleep:shutdown", "--who=V-MOD VersionUp Tool",
            "--why=" + whyUtf8, "--mode=block",          "cat"};
}

bool InhibitorStart(const std::vector<std::string>& argv) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_child > 0)
        return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (r != 0) {
        close(fds[1]);
        return false;
    }
    g_child = pid;
    g_pipe = fds[1];
    if (WaitExit(pid, kSettle)) {
        g_child = -1; // reaped
        close(g_pipe);
        g_pipe = -1;
        return false;
    }
    return true;
}

void InhibitorStop() {
    std::lock_guard<std::mutex> lock(g_mutex);
    StopLocked();
}

} // namespace vmod_posix

namespace {

std::mutex g_seamMutex;
struct InhibitorSeam {
    std::function<BOOL(LPCWSTR)> begin;
    std::function<void()> end;
};
InhibitorSeam& Seam() {
    static auto* seam = new InhibitorSeam();
    return *seam;
}
InhibitorSeam CurrentSeam() {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    return Seam();
}

} // namespace

namespace vmod_testing {

void SetSleepInhibitor(std::function<BOOL(LPCWSTR why)> begin, std::function<void()> end) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    Seam() = InhibitorSeam{std::move(begin), std::move(end)};
}

} // namespace vmod_testing

BOOL HostInhibitSleepBegin(LPCWSTR why) {
    if (InhibitorSeam seam = CurrentSeam(); seam.begin)
        return seam.begin(why);
    // logind runs only where systemd booted the host (the test sd_booted makes).
    if (access("/run/systemd/system", F_OK) != 0)
        return FALSE;
    const std::string utf8 = vmod_posix::Utf8FromWide(why ? why : L"");
    return vmod_posix::InhibitorStart(vmod_posix::InhibitorCommand(utf8)) ? TRUE : FALSE;
}

void HostInhibitSleepEnd() {
    if (InhibitorSeam seam = CurrentSeam(); seam.begin || seam.end) {
        if (seam.end)
            seam.end();
        return;
    }
    vmod_posix::InhibitorStop();
}
