// Windows and controls on Qt Widgets: the handle registry, the hand-over of calls from other
// threads to the user-interface thread, the dialog built from a template, messages, window
// calls, layout calls, screen metrics and the busy cursor.
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QThread>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
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
    ScreenMetrics hostScreen;
    bool screenOverridden = false;
    ScreenMetrics overrideScreen;
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

// ---- widgets -------------------------------------------------------------------------------

// The dialog window: the dialog manager's keys and the close button become commands, size
// changes become WM_SIZE.
class DialogWidget : public QWidget {
  public:
    HWND hwnd = nullptr;
    bool suppressSize = false; // the host itself is fitting the window to its controls

  protected:
    void keyPressEvent(QKeyEvent* e) override {
        Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
        if (mods == Qt::NoModifier && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)) {
            e->accept();
            DeliverMessage(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return;
        }
        if (mods == Qt::NoModifier && e->key() == Qt::Key_Escape) {
            e->accept();
            DeliverMessage(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return;
        }
        QWidget::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override {
        // The dialog decides: WM_CLOSE, which a dialog answers with its cancel command.
        e->ignore();
        DeliverMessage(hwnd, WM_CLOSE, 0, 0);
    }
    void resizeEvent(QResizeEvent* e) override {
        QWidget::resizeEvent(e);
        if (!suppressSize)
            DeliverMessage(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width(), height()));
    }
};

void ApplyWindowIcon(Window* w) {
    QIcon icon;
    // The deepest image of each size, from the small and then the big icon.
    for (HICON h : {w->iconSmall, w->iconBig}) {
        Image* image = ImageFromHandle(h);
        if (!image)
            continue;
        for (size_t i = 0; i < image->images.size(); ++i) {
            bool deepest = true;
            for (size_t j = 0; j < image->images.size(); ++j)
                if (image->images[j].size() == image->images[i].size() &&
                    image->bitsPerPixel[j] > image->bitsPerPixel[i])
                    deepest = false;
            if (deepest)
                icon.addPixmap(QPixmap::fromImage(image->images[i]));
        }
    }
    if (w->widget)
        w->widget->setWindowIcon(icon);
}

void ApplyStaticImage(Window* w) {
    auto* label = qobject_cast<QLabel*>(w->widget.data());
    Image* image = ImageFromHandle(w->image);
    if (label && image && !image->images.empty())
        label->setPixmap(QPixmap::fromImage(image->images.front()));
}

} // namespace

Kind KindOfClass(const ResName& cls) {
    if (cls.number != 0) {
        switch (cls.number) {
        case 0x80:
            return Kind::Button;
        case 0x81:
            return Kind::Edit;
        case 0x82:
            return Kind::Static;
        case 0x83:
            return Kind::ListBox;
        case 0x84:
            return Kind::ScrollBar;
        case 0x85:
            return Kind::ComboBox;
        default:
            return Kind::Other;
        }
    }
    QString name = ToQString(cls.text);
    if (name.compare(QStringLiteral("button"), Qt::CaseInsensitive) == 0)
        return Kind::Button;
    if (name.compare(QStringLiteral("edit"), Qt::CaseInsensitive) == 0)
        return Kind::Edit;
    if (name.compare(QStringLiteral("static"), Qt::CaseInsensitive) == 0)
        return Kind::Static;
    if (name.compare(QStringLiteral("listbox"), Qt::CaseInsensitive) == 0)
        return Kind::ListBox;
    if (name.compare(QString::fromWCharArray(PROGRESS_CLASSW), Qt::CaseInsensitive) == 0)
        return Kind::Progress;
    return Kind::Other;
}

namespace {

std::wstring ClassNameOf(Kind kind, const ResName& cls) {
    switch (kind) {
    case Kind::Button:
        return L"Button";
    case Kind::Edit:
        return L"Edit";
    case Kind::Static:
        return L"Static";
    case Kind::ListBox:
        return L"ListBox";
    case Kind::ScrollBar:
        return L"ScrollBar";
    case Kind::ComboBox:
        return L"ComboBox";
    case Kind::Progress:
        return PROGRESS_CLASSW;
    case Kind::Dialog:
        return L"#32770";
    default:
        return cls.text;
    }
}

// A control's widget, set up from its class and style as the handheld's control would behave.
QWidget* MakeControl(Window* w, QWidget* parent, HWND dialog) {
    DWORD st = w->style;
    Qt::FocusPolicy focus = (st & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus;
    switch (w->kind) {
    case Kind::Button: {
        auto* b = new QPushButton(parent);
        b->setAutoDefault(false);
        b->setDefault((st & 0x0F) == BS_DEFPUSHBUTTON);
        b->setFocusPolicy(focus);
        HWND self = w->hwnd;
        int id = w->id;
        QObject::connect(b, &QPushButton::clicked, [dialog, self, id] {
            DeliverMessage(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                           reinterpret_cast<LPARAM>(self));
        });
        return b;
    }
    case Kind::Edit: {
        if (st & ES_MULTILINE) {
            auto* e = new QPlainTextEdit(parent);
            e->setReadOnly(st & ES_READONLY);
            e->setFrameShape((st & WS_BORDER) ? QFrame::StyledPanel : QFrame::NoFrame);
            e->setLineWrapMode((st & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                     : QPlainTextEdit::WidgetWidth);
            e->setVerticalScrollBarPolicy((st & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                            : Qt::ScrollBarAlwaysOff);
            e->setHorizontalScrollBarPolicy((st & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                              : Qt::ScrollBarAlwaysOff);
            e->setFocusPolicy(focus);
            if (st & ES_READONLY)
                DrawOnDialogBackground(e);
            return e;
        }
        auto* e = new QLineEdit(parent);
        e->setReadOnly(st & ES_READONLY);
        e->setFrame(st & WS_BORDER);
        e->setFocusPolicy(focus);
        if (st & ES_READONLY)
            DrawOnDialogBackground(e);
        if (!(st & ES_READONLY)) {
            Window* self = w;
            QObject::connect(e, &QLineEdit::textEdited,
                             [self](const QString& t) { self->text = ToWString(t); });
        }
        return e;
    }
    case Kind::Static: {
        auto* l = new QLabel(parent);
        l->setTextFormat(Qt::PlainText);
        DWORD type = st & 0x1F;
        Qt::Alignment h = type == 1 ? Qt::AlignHCenter : type == 2 ? Qt::AlignRight : Qt::AlignLeft;
        l->setAlignment(h | Qt::AlignTop);
        l->setWordWrap(type <= 2);
        l->setFocusPolicy(Qt::NoFocus);
        return l;
    }
    case Kind::ListBox: {
        auto* l = new QListWidget(parent);
        l->setSortingEnabled(st & LBS_SORT);
        l->setFrameShape((st & WS_BORDER) ? QFrame::StyledPanel : QFrame::NoFrame);
        l->setVerticalScrollBarPolicy((st & WS_VSCROLL) ? Qt::ScrollBarAsNeeded
                                                        : Qt::ScrollBarAlwaysOff);
        l->setHorizontalScrollBarPolicy((st & WS_HSCROLL) ? Qt::ScrollBarAsNeeded
                                                          : Qt::ScrollBarAlwaysOff);
        l->setFocusPolicy(focus);
        return l;
    }
    case Kind::Progress: {
        QProgressBar* p = MakeProgressBar(parent, st);
        p->setRange(0, 100);
        p->setValue(0);
        p->setTextVisible(false);
        p->setFocusPolicy(Qt::NoFocus);
        return p;
    }
    default: {
        auto* other = new QWidget(parent);
        other->setFocusPolicy(Qt::NoFocus);
        return other;
    }
    }
}

// Moves the dialog's size along with its controls: the margin its creation template left to
// the right of and below them is kept. The handheld's dialog fills the screen instead; on a
// desktop the window is as large as the layout in it.
void FitDialog(Window* dlg) {
    if (!dlg->dialog || !dlg->widget)
        return;
    int right = 0, bottom = 0;
    for (Window* c : dlg->children) {
        if (!c->widget)
            continue;
        QRect g = c->widget->geometry();
        right = std::max(right, g.x() + g.width());
        bottom = std::max(bottom, g.y() + g.height());
    }
    QSize size(right + dlg->dialog->marginRight, bottom + dlg->dialog->marginBottom);
    if (size == dlg->widget->size())
        return;
    auto* dw = static_cast<DialogWidget*>(dlg->widget.data());
    dw->suppressSize = true;
    dw->setFixedSize(size);
    dw->suppressSize = false;
}

// ---- cursor ----------------------------------------------------------------------------------
struct CursorTag {
    int unused;
};
CursorTag g_waitCursor;
std::atomic<HCURSOR> g_cursor{nullptr};

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
    bool overridden;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().hostScreen = m;
        overridden = S().screenOverridden;
    }
    if (!overridden)
        NotifyDialogsOfScreenChange();
}

void WatchScreen(QScreen* screen) {
    QObject::connect(screen, &QScreen::geometryChanged, g_dispatcher, [] { ReadHostScreen(); });
    QObject::connect(screen, &QScreen::availableGeometryChanged, g_dispatcher,
                     [] { ReadHostScreen(); });
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
    for (QScreen* s : QGuiApplication::screens())
        WatchScreen(s);
    QObject::connect(qApp, &QGuiApplication::primaryScreenChanged, g_dispatcher, [](QScreen* s) {
        WatchScreen(s);
        ReadHostScreen();
    });
    ReadHostScreen();
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

// ---- the dialog from its template -----------------------------------------------------------

Window* CreateDialogFromTemplate(const DialogTemplate& tpl, CDialog* object) {
    Window* dlg = NewWindow(Kind::Dialog, nullptr);
    dlg->className = L"#32770";
    dlg->style = tpl.style & ~static_cast<DWORD>(WS_VISIBLE);
    dlg->exStyle = tpl.exStyle;
    dlg->dialog = std::make_unique<DialogState>();
    DialogState* st = dlg->dialog.get();
    st->object = object;

    auto* widget = new DialogWidget;
    widget->hwnd = dlg->hwnd;
    widget->setProperty("vmodHwnd",
                        QVariant::fromValue<qulonglong>(reinterpret_cast<uintptr_t>(dlg->hwnd)));
    dlg->widget = widget;

    // The template's font at the screen's resolution, and the base units that follow from it.
    QScreen* screen = QGuiApplication::primaryScreen();
    int dpi = screen ? static_cast<int>(screen->logicalDotsPerInchY() + 0.5) : 96;
    QFont font = tpl.hasFont ? QFont(ToQString(tpl.faceName)) : QApplication::font();
    int points = tpl.hasFont ? tpl.pointSize : 9;
    font.setPixelSize(std::max(1, MulDiv(points, dpi, 72)));
    st->font = font;
    widget->setFont(font);
    const BaseUnits units = DialogBaseUnits(tpl, font);
    st->cxChar = units.cx;
    st->cyChar = units.cy;

    dlg->text = tpl.caption;
    widget->setWindowTitle(ToQString(tpl.caption));
    int width = MulDiv(tpl.cx, st->cxChar, 4);
    int height = MulDiv(tpl.cy, st->cyChar, 8);
    widget->setFixedSize(width, height);

    int right = 0, bottom = 0;
    for (const DialogItem& item : tpl.items) {
        Kind kind = KindOfClass(item.windowClass);
        Window* c = NewWindow(kind, dlg);
        c->className = ClassNameOf(kind, item.windowClass);
        c->style = item.style;
        c->exStyle = item.exStyle;
        c->id = item.id;
        QWidget* cw = MakeControl(c, widget, dlg->hwnd);
        cw->setProperty("vmodHwnd",
                        QVariant::fromValue<qulonglong>(reinterpret_cast<uintptr_t>(c->hwnd)));
        c->widget = cw;
        // Edges converted one by one, as MapDialogRect does for the layout re-flow.
        int left = MulDiv(item.x, st->cxChar, 4), top = MulDiv(item.y, st->cyChar, 8);
        QRect r(left, top, MulDiv(item.x + item.cx, st->cxChar, 4) - left,
                MulDiv(item.y + item.cy, st->cyChar, 8) - top);
        cw->setGeometry(r);
        right = std::max(right, r.x() + r.width());
        bottom = std::max(bottom, r.y() + r.height());
        if (item.title.number != 0) {
            DWORD type = item.style & 0x1F;
            if (kind == Kind::Static && type == SS_ICON)
                c->image = reinterpret_cast<HGDIOBJ>(
                    LoadIconW(ProgramModule(), MAKEINTRESOURCEW(item.title.number)));
            else if (kind == Kind::Static && type == SS_BITMAP)
                c->image = LoadBitmapW(ProgramModule(), MAKEINTRESOURCEW(item.title.number));
            ApplyStaticImage(c);
        } else {
            SetText(c, item.title.text);
        }
        cw->setEnabled(!(item.style & WS_DISABLED));
        cw->setVisible(item.style & WS_VISIBLE);
    }
    st->marginRight = std::max(0, width - right);
    st->marginBottom = std::max(0, height - bottom);
    return dlg;
}

// ---- messages --------------------------------------------------------------------------------

bool SetText(Window* w, const std::wstring& text) {
    w->text = text;
    QWidget* widget = w->widget.data();
    if (!widget)
        return true;
    QString t = ToQString(text);
    switch (w->kind) {
    case Kind::Dialog:
        widget->setWindowTitle(t);
        break;
    case Kind::Button:
        static_cast<QPushButton*>(widget)->setText(t);
        break;
    case Kind::Edit:
        if (auto* multi = qobject_cast<QPlainTextEdit*>(widget)) {
            t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            t.remove(QLatin1Char('\r'));
            multi->setPlainText(t);
        } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            line->setText(t);
            line->setCursorPosition(0); // shows the start of a long text, as the handheld does
        }
        break;
    case Kind::Static:
        static_cast<QLabel*>(widget)->setText(t);
        break;
    default:
        break;
    }
    return true;
}

LRESULT DeliverMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window* w = FindWindow(hwnd);
    if (!w)
        return 0;
    if (w->attached)
        return w->attached->WindowProc(msg, wParam, lParam);
    return DefaultMessage(w, msg, wParam, lParam);
}

LRESULT DefaultMessage(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SETTEXT:
        SetText(w, lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
        return TRUE;
    case WM_SETICON: {
        HICON icon = reinterpret_cast<HICON>(lParam);
        HICON& slot = wParam == ICON_BIG ? w->iconBig : w->iconSmall;
        HICON old = slot;
        slot = icon;
        ApplyWindowIcon(w);
        return reinterpret_cast<LRESULT>(old);
    }
    case WM_CLOSE:
        if (w->kind == Kind::Dialog)
            return DeliverMessage(w->hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return 0;
    default:
        break;
    }
    switch (w->kind) {
    case Kind::Progress: {
        auto* bar = qobject_cast<QProgressBar*>(w->widget.data());
        if (msg == PBM_SETRANGE) {
            LRESULT old = MAKELPARAM(w->progressLow, w->progressHigh);
            w->progressLow = LOWORD(lParam);
            w->progressHigh = HIWORD(lParam);
            w->progressPos = std::clamp(w->progressPos, w->progressLow,
                                        std::max(w->progressLow, w->progressHigh));
            if (bar) {
                bar->setRange(w->progressLow, std::max(w->progressLow, w->progressHigh));
                bar->setValue(w->progressPos);
            }
            return old;
        }
        if (msg == PBM_SETPOS) {
            int old = w->progressPos;
            w->progressPos = std::clamp(static_cast<int>(static_cast<intptr_t>(wParam)),
                                        w->progressLow, std::max(w->progressLow, w->progressHigh));
            if (bar)
                bar->setValue(w->progressPos);
            return old;
        }
        if (msg == PBM_GETPOS)
            return w->progressPos;
        return 0;
    }
    case Kind::Static:
        if (msg == STM_GETIMAGE)
            return reinterpret_cast<LRESULT>(w->image);
        if (msg == STM_SETIMAGE) {
            HGDIOBJ old = w->image;
            w->image = reinterpret_cast<HGDIOBJ>(lParam);
            ApplyStaticImage(w);
            return reinterpret_cast<LRESULT>(old);
        }
        return 0;
    case Kind::ListBox: {
        auto* list = qobject_cast<QListWidget*>(w->widget.data());
        if (!list)
            return LB_ERR;
        if (msg == LB_GETCURSEL) {
            auto selected = list->selectedItems();
            return selected.isEmpty() ? LB_ERR : list->row(selected.front());
        }
        if (msg == LB_SETCURSEL) {
            int index = static_cast<int>(static_cast<intptr_t>(wParam));
            if (index < 0 || index >= list->count()) {
                list->clearSelection();
                return LB_ERR;
            }
            list->setCurrentRow(index);
            list->scrollToItem(list->item(index));
            return index;
        }
        return 0;
    }
    case Kind::ComboBox:
        return msg == CB_GETCURSEL || msg == CB_SETCURSEL ? CB_ERR : 0;
    default:
        return 0;
    }
}

void NotifyDialogsOfScreenChange() {
    std::vector<HWND> dialogs;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        for (auto& [h, w] : S().windows)
            if (w->kind == Kind::Dialog)
                dialogs.push_back(h);
    }
    for (HWND h : dialogs) {
        Window* w = FindWindow(h);
        if (w && w->widget)
            DeliverMessage(h, WM_SIZE, SIZE_RESTORED,
                           MAKELPARAM(w->widget->width(), w->widget->height()));
    }
}

ScreenMetrics CurrentScreenMetrics() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().screenOverridden ? S().overrideScreen : S().hostScreen;
}

void SetScreenOverride(const ScreenMetrics* metrics) {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        ScreenMetrics before = S().screenOverridden ? S().overrideScreen : S().hostScreen;
        S().screenOverridden = metrics != nullptr;
        if (metrics)
            S().overrideScreen = *metrics;
        ScreenMetrics after = S().screenOverridden ? S().overrideScreen : S().hostScreen;
        changed = before.width != after.width || before.height != after.height ||
                  before.workArea.left != after.workArea.left ||
                  before.workArea.top != after.workArea.top ||
                  before.workArea.right != after.workArea.right ||
                  before.workArea.bottom != after.workArea.bottom;
    }
    if (changed)
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

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    return static_cast<BOOL>(RunOnUi(
        [=] {
            Window* w = FindWindow(hwnd);
            if (!w)
                return LRESULT(FALSE);
            bool wasDisabled = w->style & WS_DISABLED;
            if (enable)
                w->style &= ~static_cast<DWORD>(WS_DISABLED);
            else
                w->style |= WS_DISABLED;
            if (w->widget)
                w->widget->setEnabled(enable);
            return LRESULT(wasDisabled);
        },
        FALSE));
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
    return static_cast<BOOL>(RunOnUi(
        [=] {
            Window* w = FindWindow(hwnd);
            if (!w)
                return LRESULT(FALSE);
            bool wasVisible = w->style & WS_VISIBLE;
            bool show = cmdShow != SW_HIDE;
            if (show)
                w->style |= WS_VISIBLE;
            else
                w->style &= ~static_cast<DWORD>(WS_VISIBLE);
            if (w->widget)
                w->widget->setVisible(show);
            return LRESULT(wasVisible);
        },
        FALSE));
}

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

// ---- layout -----------------------------------------------------------------------------------

int GetSystemMetrics(int index) {
    ScreenMetrics m = CurrentScreenMetrics();
    if (index == SM_CXSCREEN)
        return m.width;
    if (index == SM_CYSCREEN)
        return m.height;
    return 0;
}

BOOL SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT winIni) {
    (void)uiParam, (void)winIni;
    if (action != SPI_GETWORKAREA || !pvParam)
        return FALSE;
    *static_cast<RECT*>(pvParam) = CurrentScreenMetrics().workArea;
    return TRUE;
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

BOOL MapDialogRect(HWND dialog, RECT* rect) {
    if (!rect)
        return FALSE;
    return static_cast<BOOL>(RunOnUi(
        [=] {
            Window* w = FindWindow(dialog);
            if (!w || !w->dialog)
                return LRESULT(FALSE);
            int cx = w->dialog->cxChar, cy = w->dialog->cyChar;
            rect->left = MulDiv(rect->left, cx, 4);
            rect->right = MulDiv(rect->right, cx, 4);
            rect->top = MulDiv(rect->top, cy, 8);
            rect->bottom = MulDiv(rect->bottom, cy, 8);
            return LRESULT(TRUE);
        },
        FALSE));
}

namespace {

struct DeferredMove {
    HWND hwnd;
    int x, y, cx, cy;
    UINT flags;
};

struct Batch {
    std::vector<DeferredMove> moves;
};

std::mutex g_batchMutex;
std::set<Batch*>& LiveBatches() {
    static std::set<Batch*> live;
    return live;
}

} // namespace

HDWP BeginDeferWindowPos(int count) {
    if (count < 0)
        return nullptr;
    auto* b = new Batch;
    b->moves.reserve(static_cast<size_t>(count));
    std::lock_guard<std::mutex> lock(g_batchMutex);
    LiveBatches().insert(b);
    return reinterpret_cast<HDWP>(b);
}

HDWP DeferWindowPos(HDWP batch, HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy,
                    UINT flags) {
    (void)insertAfter;
    auto* b = reinterpret_cast<Batch*>(batch);
    if (!WindowExists(hwnd))
        return nullptr;
    std::lock_guard<std::mutex> lock(g_batchMutex);
    if (!LiveBatches().count(b))
        return nullptr;
    b->moves.push_back({hwnd, x, y, cx, cy, flags});
    return batch;
}

BOOL EndDeferWindowPos(HDWP batch) {
    auto* b = reinterpret_cast<Batch*>(batch);
    {
        std::lock_guard<std::mutex> lock(g_batchMutex);
        if (!LiveBatches().erase(b))
            return FALSE;
    }
    std::unique_ptr<Batch> owned(b);
    return static_cast<BOOL>(RunOnUi(
        [&] {
            BOOL ok = TRUE;
            std::vector<Window*> parents;
            for (const DeferredMove& m : owned->moves) {
                Window* w = FindWindow(m.hwnd);
                if (!w || !w->widget) {
                    ok = FALSE;
                    continue;
                }
                QRect g = w->widget->geometry();
                if (!(m.flags & SWP_NOMOVE))
                    g.moveTo(m.x, m.y);
                if (!(m.flags & SWP_NOSIZE))
                    g.setSize(QSize(std::max(0, m.cx), std::max(0, m.cy)));
                w->widget->setGeometry(g);
                if (w->parent &&
                    std::find(parents.begin(), parents.end(), w->parent) == parents.end())
                    parents.push_back(w->parent);
            }
            for (Window* p : parents)
                FitDialog(p);
            return LRESULT(ok);
        },
        FALSE));
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SendMessageW(item, msg, wParam, lParam) : 0;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SetWindowTextW(item, text) : FALSE;
}
