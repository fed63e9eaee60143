// Screen metrics and the cursor: what GetSystemMetrics and SPI_GETWORKAREA report (the primary
// screen, or a test's override), WM_SIZE to the dialogs when that changes, and the busy cursor.
// The metrics are user-interface thread state: other threads read them through RunOnUi.
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <atomic>

#include "platform/qt/host.h"

namespace vmod_qt {
namespace {

struct CursorTag {
    int unused;
};
CursorTag g_waitCursor;
std::atomic<HCURSOR> g_cursor{nullptr};

ScreenMetrics g_hostScreen;
bool g_screenOverridden = false;
ScreenMetrics g_overrideScreen;

void ReadHostScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    ScreenMetrics m;
    if (screen) {
        QRect g = screen->geometry();
        QRect a = screen->availableGeometry();
        m.width = g.width();
        m.height = g.height();
        m.workArea = {a.x(), a.y(), a.x() + a.width(), a.y() + a.height()};
    }
    g_hostScreen = m;
    if (!g_screenOverridden)
        NotifyDialogsOfScreenChange();
}

void WatchScreen(QScreen* screen) {
    QObject::connect(screen, &QScreen::geometryChanged, qApp, [] { ReadHostScreen(); });
    QObject::connect(screen, &QScreen::availableGeometryChanged, qApp, [] { ReadHostScreen(); });
}

} // namespace

void WatchScreens() {
    for (QScreen* s : QGuiApplication::screens())
        WatchScreen(s);
    QObject::connect(qApp, &QGuiApplication::primaryScreenChanged, qApp, [](QScreen* s) {
        WatchScreen(s);
        ReadHostScreen();
    });
    ReadHostScreen();
}

void NotifyDialogsOfScreenChange() {
    for (HWND h : DialogWindows()) {
        Window* w = FindWindow(h);
        if (w && w->widget)
            DeliverMessage(h, WM_SIZE, SIZE_RESTORED,
                           MAKELPARAM(w->widget->width(), w->widget->height()));
    }
}

ScreenMetrics CurrentScreenMetrics() {
    return g_screenOverridden ? g_overrideScreen : g_hostScreen;
}

void SetScreenOverride(const ScreenMetrics* metrics) {
    const ScreenMetrics before = CurrentScreenMetrics();
    g_screenOverridden = metrics != nullptr;
    if (metrics)
        g_overrideScreen = *metrics;
    const ScreenMetrics after = CurrentScreenMetrics();
    if (before.width != after.width || before.height != after.height ||
        before.workArea.left != after.workArea.left || before.workArea.top != after.workArea.top ||
        before.workArea.right != after.workArea.right ||
        before.workArea.bottom != after.workArea.bottom)
        NotifyDialogsOfScreenChange();
}

void ApplyCursor(bool busy) {
    static bool applied = false;
    if (!QGuiApplication::instance() || busy == applied)
        return;
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
    applied = busy;
}

} // namespace vmod_qt

using namespace vmod_qt;

// ---- cursor -----------------------------------------------------------------------------------

HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    if (instance == nullptr && name == IDC_WAIT)
        return reinterpret_cast<HCURSOR>(&g_waitCursor);
    return nullptr;
}

HCURSOR SetCursor(HCURSOR cursor) {
    HCURSOR old = g_cursor.exchange(cursor);
    bool busy = cursor == reinterpret_cast<HCURSOR>(&g_waitCursor);
    if (IsUiThread())
        ApplyCursor(busy);
    else
        PostCall([busy] { ApplyCursor(busy); });
    return old;
}

// ---- screen -----------------------------------------------------------------------------------

int GetSystemMetrics(int index) {
    return static_cast<int>(RunOnUi(
        [=] {
            const ScreenMetrics m = CurrentScreenMetrics();
            return LRESULT(index == SM_CXSCREEN ? m.width : index == SM_CYSCREEN ? m.height : 0);
        },
        0));
}

BOOL SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT winIni) {
    (void)uiParam, (void)winIni;
    if (action != SPI_GETWORKAREA || !pvParam)
        return FALSE;
    return static_cast<BOOL>(RunOnUi(
        [=] {
            *static_cast<RECT*>(pvParam) = CurrentScreenMetrics().workArea;
            return LRESULT(TRUE);
        },
        FALSE));
}
