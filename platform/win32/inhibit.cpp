// The sleep inhibitor on Windows: SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED).
// The state belongs to the thread that set it and ends with that thread, while the program
// begins and ends the inhibition from whichever download thread comes first and last; so a
// thread of its own sets it and keeps it until told to end.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/inhibit.h"
#include "platform/testing.h"
#include "platform/win32/host_calls.h"

namespace {

struct InhibitorSeam {
    std::function<BOOL(LPCWSTR)> begin;
    std::function<void()> end;
};

std::mutex g_mutex;
InhibitorSeam g_seam;
vmod_win32::ExecutionStateCall g_call = nullptr;
std::thread g_holder;
std::condition_variable g_wake;
bool g_release = false;

EXECUTION_STATE CallExecutionState(EXECUTION_STATE state) {
    vmod_win32::ExecutionStateCall call;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        call = g_call;
    }
    return call ? call(state) : SetThreadExecutionState(state);
}

} // namespace

namespace vmod_win32 {

void SetExecutionStateCall(ExecutionStateCall call) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_call = call;
}

} // namespace vmod_win32

namespace vmod_testing {

void SetSleepInhibitor(std::function<BOOL(LPCWSTR why)> begin, std::function<void()> end) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seam = InhibitorSeam{std::move(begin), std::move(end)};
}

} // namespace vmod_testing

// The reason is the desktop's to show only for a power request; the execution state has none.
BOOL HostInhibitSleepBegin(LPCWSTR why) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (g_seam.begin) {
        auto begin = g_seam.begin;
        lock.unlock();
        return begin(why);
    }
    if (g_holder.joinable())
        return TRUE;
    g_release = false;
    std::mutex started;
    std::condition_variable set;
    bool done = false, held = false;
    g_holder = std::thread([&] {
        const bool ok = CallExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
        {
            std::lock_guard<std::mutex> l(started);
            held = ok, done = true;
        }
        set.notify_one();
        std::unique_lock<std::mutex> wait(g_mutex);
        g_wake.wait(wait, [] { return g_release; });
        wait.unlock();
        if (ok)
            CallExecutionState(ES_CONTINUOUS);
    });
    lock.unlock();
    std::unique_lock<std::mutex> l(started);
    set.wait(l, [&] { return done; });
    return held ? TRUE : FALSE;
}

void HostInhibitSleepEnd() {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (g_seam.begin || g_seam.end) {
        auto end = g_seam.end;
        lock.unlock();
        if (end)
            end();
        return;
    }
    if (!g_holder.joinable())
        return;
    g_release = true;
    std::thread holder = std::move(g_holder);
    lock.unlock();
    g_wake.notify_all();
    holder.join();
}
