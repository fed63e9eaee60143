// The user-interface thread and what reaches it: the QApplication, the registry of window
// handles, and the hand-over of calls and posted messages from other threads. It calls down into
// Qt and delivers posted messages through DeliverMessage (widgets.cpp); the rest of the host
// builds on it.
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/qt/host.h"

namespace vmod_qt {
namespace {

// ---- the registry and the hand-over ----------------------------------------------------------

struct Task {
    std::function<LRESULT()> run;
    LRESULT result = 0;
    bool done = false;
    bool cancelled = false;
};

struct State {
    std::mutex mutex; // guards everything below
    std::condition_variable changed;
    std::unordered_map<HWND, Window*> windows;
    uintptr_t nextHandle = 0x20000;
    int servingDepth = 0;
    std::vector<std::shared_ptr<Task>> pending;
    HWND mainWindow = nullptr;
};

State& S() {
    static State* s = new State; // outlives every thread that may still call in at exit
    return *s;
}

std::atomic<QThread*> g_uiThread{nullptr};
QObject* g_dispatcher = nullptr;

// One item handed to the user-interface thread: a call to run and wait for (task), a posted
// message, or a call nobody waits for. Items live in our own queue, guarded by State::mutex;
// each is announced by one empty Qt event, so items keep their order among themselves and among
// the toolkit's events, and the hand-over is ordered by a lock every thread sees.
struct Item {
    std::shared_ptr<Task> task;
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<void()> call;
};

std::deque<Item>& Queue() { // guarded by State::mutex
    static std::deque<Item>* q = new std::deque<Item>;
    return *q;
}

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::User + 101);

// Called with State::mutex held.
void EnqueueLocked(Item item) {
    Queue().push_back(std::move(item));
    QCoreApplication::postEvent(g_dispatcher, new QEvent(kWakeEvent));
}

// Receives everything handed to the user-interface thread, one item per wake-up.
class Dispatcher : public QObject {
  public:
    bool event(QEvent* e) override {
        Item item;
        {
            // Taken before the event is looked at: the event was made under this lock by
            // whichever thread posted it.
            std::lock_guard<std::mutex> lock(S().mutex);
            if (e->type() != kWakeEvent)
                return QObject::event(e);
            if (Queue().empty())
                return true;
            item = std::move(Queue().front());
            Queue().pop_front();
            if (item.task) {
                if (item.task->cancelled)
                    return true;
                auto& p = S().pending;
                p.erase(std::remove(p.begin(), p.end(), item.task), p.end());
            }
        }
        if (item.task) {
            LRESULT r = item.task->run();
            {
                std::lock_guard<std::mutex> lock(S().mutex);
                item.task->result = r;
                item.task->done = true;
            }
            S().changed.notify_all();
        } else if (item.call) {
            item.call();
        } else {
            DeliverMessage(item.hwnd, item.msg, item.wParam, item.lParam);
        }
        return true;
    }
};

void LoadFontRules() {
    const char* rules = ModuleFontConfig();
    if (!rules)
        return;
    FcConfig* config = FcInitLoadConfigAndFonts();
    if (!config)
        return;
    if (FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(rules), FcTrue))
        FcConfigSetCurrent(config);
    FcConfigDestroy(config); // the current configuration keeps its own reference
}

QApplication* g_application = nullptr;

} // namespace

void DeleteApplication() {
    if (!g_application)
        return;
    g_uiThread.store(nullptr);
    QObject* dispatcher;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        dispatcher = g_dispatcher;
        g_dispatcher = nullptr;
    }
    delete dispatcher;
    delete g_application;
    g_application = nullptr;
}

// ---- the user-interface thread -----------------------------------------------------------------

void EnsureApplication(int* argc, char** argv) {
    if (g_uiThread.load())
        return;
    if (!QCoreApplication::instance()) {
        LoadFontRules();
        static int defaultArgc = 1;
        static char defaultName[] = "vmod-versionup";
        static char* defaultArgv[] = {defaultName, nullptr};
        g_application =
            argc ? new QApplication(*argc, argv) : new QApplication(defaultArgc, defaultArgv);
        // Left alive at exit unless AfxWinMain ends it: Qt's own statics may already be gone
        // by the time an exit handler could delete it.
    }
    // Closing a message box must never end the dialog's loop.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    g_dispatcher = new Dispatcher;
    g_uiThread.store(QThread::currentThread());
    WatchScreens();
}

bool IsUiThread() {
    QThread* ui = g_uiThread.load();
    return ui != nullptr && ui == QThread::currentThread();
}

LRESULT RunOnUi(std::function<LRESULT()> f, LRESULT failValue) {
    if (!g_uiThread.load())
        return failValue;
    if (IsUiThread())
        return f();
    auto task = std::make_shared<Task>();
    task->run = std::move(f);
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        // With no loop running, a call is still taken while a worker thread runs: the process
        // serves its workers before it ends (AfxWinMain), so their last boxes are seen.
        if (S().servingDepth == 0 && !WorkerThreadsRunning())
            return failValue;
        S().pending.push_back(task);
        Item item;
        item.task = task;
        EnqueueLocked(std::move(item));
    }
    std::unique_lock<std::mutex> lock(S().mutex);
    S().changed.wait(lock, [&] { return task->done || task->cancelled; });
    return task->done ? task->result : failValue;
}

void EnterServingLoop() {
    std::lock_guard<std::mutex> lock(S().mutex);
    ++S().servingDepth;
}

void LeaveServingLoop() {
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        if (--S().servingDepth == 0 && !WorkerThreadsRunning()) {
            for (auto& t : S().pending)
                t->cancelled = true;
            S().pending.clear();
        }
    }
    S().changed.notify_all();
}

void PostCall(std::function<void()> call) {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!g_uiThread.load() || !g_dispatcher)
        return;
    Item item;
    item.call = std::move(call);
    EnqueueLocked(std::move(item));
}

// ---- the registry --------------------------------------------------------------------------

Window* FindWindow(HWND hwnd) {
    if (!hwnd)
        return nullptr;
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().windows.find(hwnd);
    return it == S().windows.end() ? nullptr : it->second;
}

bool WindowExists(HWND hwnd) {
    return FindWindow(hwnd) != nullptr;
}

Window* NewWindow(Kind kind, Window* parent) {
    auto* w = new Window;
    w->kind = kind;
    w->parent = parent;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().nextHandle += 4;
        w->hwnd = reinterpret_cast<HWND>(S().nextHandle);
        S().windows[w->hwnd] = w;
    }
    if (parent)
        parent->children.push_back(w);
    return w;
}

void DestroyWindowTree(Window* window) {
    std::vector<Window*> all;
    std::function<void(Window*)> collect = [&](Window* w) {
        all.push_back(w);
        for (Window* c : w->children)
            collect(c);
    };
    collect(window);
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        for (Window* w : all)
            S().windows.erase(w->hwnd);
        if (S().mainWindow == window->hwnd)
            S().mainWindow = nullptr;
    }
    if (window->parent) {
        auto& sib = window->parent->children;
        sib.erase(std::remove(sib.begin(), sib.end(), window), sib.end());
    }
    QWidget* top = window->widget.data();
    for (Window* w : all) {
        w->attached = nullptr;
        w->widget = nullptr;
    }
    delete top; // deletes the child widgets too
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        delete *it;
}

void SetMainWindowHandle(HWND hwnd) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().mainWindow = hwnd;
}

HWND MainWindowHandle() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().mainWindow;
}

std::vector<HWND> DialogWindows() {
    std::vector<HWND> dialogs;
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto& [h, w] : S().windows)
        if (w->kind == Kind::Dialog)
            dialogs.push_back(h);
    return dialogs;
}

} // namespace vmod_qt

#if defined(__SANITIZE_THREAD__)
#define VMOD_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VMOD_THREAD_SANITIZER 1
#endif
#endif

#if defined(VMOD_THREAD_SANITIZER)
// Qt's own libraries are not built for the thread sanitizer and synchronise with futexes it
// cannot see (its worker pool for drawing and image conversion, its event queue): what they
// allocate and free among their own threads is not reported. Our code's accesses still are.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n";
}
#endif

// fontconfig keeps 288 bytes of its start-up unreachable for the life of the process (any
// program that initialises it does); not ours to report.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so.1\n";
}

using namespace vmod_qt;

// ---- window calls -----------------------------------------------------------------------------

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!WindowExists(hwnd))
        return 0;
    return RunOnUi([=] { return DeliverMessage(hwnd, msg, wParam, lParam); }, 0);
}

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // Checked and queued under the registry lock, so a window destroyed meanwhile either
    // refuses the post or drops the message when it comes up.
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!g_uiThread.load() || !g_dispatcher || !S().windows.count(hwnd))
        return FALSE;
    Item item;
    item.hwnd = hwnd;
    item.msg = msg;
    item.wParam = wParam;
    item.lParam = lParam;
    EnqueueLocked(std::move(item));
    return TRUE;
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
    if (!WindowExists(hwnd))
        return FALSE;
    return static_cast<BOOL>(RunOnUi(
        [=] {
            if (!WindowExists(hwnd))
                return LRESULT(FALSE);
            DeliverMessage(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : L""));
            return LRESULT(TRUE);
        },
        FALSE));
}

namespace {

// Sets or clears one style bit of a window and brings its widget in line (apply gets the bit's
// new state): whether the bit was set before; FALSE for no window.
BOOL ChangeStyleBit(HWND hwnd, DWORD bit, bool set, void (*apply)(QWidget*, bool)) {
    return static_cast<BOOL>(RunOnUi(
        [=] {
            Window* w = FindWindow(hwnd);
            if (!w)
                return LRESULT(FALSE);
            const bool was = w->style & bit;
            w->style = set ? w->style | bit : w->style & ~bit;
            if (w->widget)
                apply(w->widget.data(), set);
            return LRESULT(was);
        },
        FALSE));
}

} // namespace

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    return ChangeStyleBit(hwnd, WS_DISABLED, !enable,
                          [](QWidget* widget, bool disabled) { widget->setEnabled(!disabled); });
}

BOOL IsWindowEnabled(HWND hwnd) {
    return static_cast<BOOL>(RunOnUi(
        [=] {
            Window* w = FindWindow(hwnd);
            return LRESULT(w && !(w->style & WS_DISABLED));
        },
        FALSE));
}

BOOL ShowWindow(HWND hwnd, int cmdShow) {
    return ChangeStyleBit(hwnd, WS_VISIBLE, cmdShow != SW_HIDE,
                          [](QWidget* widget, bool visible) { widget->setVisible(visible); });
}

HWND GetDlgItem(HWND dialog, int id) {
    return reinterpret_cast<HWND>(RunOnUi(
        [=] {
            Window* w = FindWindow(dialog);
            if (!w)
                return LRESULT(0);
            for (Window* c : w->children)
                if (c->id == id)
                    return reinterpret_cast<LRESULT>(c->hwnd);
            return LRESULT(0);
        },
        0));
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SendMessageW(item, msg, wParam, lParam) : 0;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SetWindowTextW(item, text) : FALSE;
}
