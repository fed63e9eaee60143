// Worker threads: AfxBeginThread on QThread, the record of which workers still run, and the
// wait at the process's end that serves their hand-overs until they return. Calls the
// hand-over's serving loop (handles.cpp) and nothing of the windows.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/qt/host.h"

using namespace vmod_qt;

// ---- worker threads -----------------------------------------------------------------------------

struct VmodThreadHost {
    QThread* thread = nullptr;
    CWinThread* object = nullptr;
    bool finished = false; // the procedure has returned; guarded by g_threadsMutex
};

namespace {

std::mutex g_threadsMutex;
std::vector<VmodThreadHost*>& Threads() {
    static std::vector<VmodThreadHost*> threads;
    return threads;
}
std::atomic<int> g_lastPriority{-1};

// The handheld's levels 0 (time-critical) .. 7 (idle) on Qt's scale. On Linux an unprivileged
// process keeps normal scheduling for the levels above normal; idle uses the idle class.
QThread::Priority HostPriority(int priority) {
    static const QThread::Priority kMap[8] = {
        QThread::TimeCriticalPriority, QThread::HighestPriority, QThread::HighPriority,
        QThread::NormalPriority,       QThread::LowPriority,     QThread::LowestPriority,
        QThread::LowestPriority,       QThread::IdlePriority};
    return priority >= 0 && priority < 8 ? kMap[priority] : QThread::NormalPriority;
}

} // namespace

namespace vmod_qt {

void ReapFinishedThreads() {
    std::vector<VmodThreadHost*> done;
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        auto& all = Threads();
        for (auto it = all.begin(); it != all.end();) {
            if ((*it)->finished) {
                done.push_back(*it);
                it = all.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (VmodThreadHost* h : done) {
        h->thread->wait();
        delete h->thread;
        delete h->object;
        delete h;
    }
}

bool WorkerThreadsRunning() {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    for (const VmodThreadHost* h : Threads()) {
        if (!h->finished)
            return true;
    }
    return false;
}

int RunningThreadCount() {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    return static_cast<int>(Threads().size());
}

int LastThreadPriority() {
    return g_lastPriority.load();
}

} // namespace vmod_qt

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize,
                           DWORD createFlags, void* security) {
    (void)security;
    if (!proc || (createFlags & CREATE_SUSPENDED))
        return nullptr;
    ReapFinishedThreads();
    auto* host = new VmodThreadHost;
    host->object = new CWinThread;
    host->object->m_pHost = host;
    // The start and the end pass through g_threadsMutex, so everything the starting thread did
    // happens before the procedure runs, and everything it did before the reaper's wait.
    host->thread = QThread::create([host, proc, param] {
        { std::lock_guard<std::mutex> lock(g_threadsMutex); }
        proc(param);
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        host->finished = true;
    });
    if (stackSize)
        host->thread->setStackSize(stackSize);
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        Threads().push_back(host);
    }
    g_lastPriority.store(priority);
    host->thread->start(HostPriority(priority));
    return host->object;
}

bool vmod_qt::ServeWorkersToTheirEnd() {
    if (!WorkerThreadsRunning())
        return true;
    if (!QCoreApplication::instance()) {
        // No toolkit, so no calls to serve: the workers only need their time.
        while (WorkerThreadsRunning())
            QThread::msleep(2);
        return true;
    }
    EnterServingLoop();
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer quiet;
    quiet.start();
    bool ended = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!WorkerThreadsRunning()) {
            ended = true;
            loop.quit();
        } else if (QApplication::activeModalWidget() != nullptr) {
            quiet.restart(); // a box waits for the user, however long that takes
        } else if (quiet.elapsed() > kWorkerEndLimitMs) {
            loop.quit();
        }
    });
    poll.start(10);
    loop.exec();
    LeaveServingLoop();
    return ended;
}
