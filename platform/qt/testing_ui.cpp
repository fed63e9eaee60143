// Test seams and probes of the dialog host (platform/testing_ui.h). Built into
// vmod_platform_qt_testing, which only tests link: the program holds none of this. What the
// host itself must consult (the message-box answerer, the dialog-shown handler, the screen
// override) stays in the host as empty slots; these set them.
#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QThread>
#include <QWidget>

#include "platform/qt/host.h"

using namespace vmod_qt;

namespace vmod_testing {

void SetMessageBoxAnswerer(std::function<int(const MessageBoxRecord&)> answer) {
    SetAnswerer(std::move(answer));
}

void SetScreenMetrics(int width, int height, RECT workArea) {
    ScreenMetrics m;
    m.width = width;
    m.height = height;
    m.workArea = workArea;
    SetScreenOverride(&m);
}

void ResetScreenMetrics() {
    SetScreenOverride(nullptr);
}

void EnsureUserInterface() {
    EnsureApplication();
}

void SetDialogShownHook(std::function<void(CDialog*)> hook) {
    SetShownHandler(std::move(hook));
}

void PostToUi(std::function<void()> task) {
    PostCall(std::move(task));
}

void ProcessMessages() {
    if (!QCoreApplication::instance())
        return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForWorkerThreads() {
    // The program's own wait at its end, so that tests go through it.
    while (!ServeWorkersToTheirEnd()) {
    }
    ReapFinishedThreads();
}

int LastWorkerPriority() {
    return LastThreadPriority();
}

namespace {

// A key press and release as the keyboard would deliver them to target.
void SendKey(QWidget* target, Key key) {
    int code = key == Key::Enter    ? Qt::Key_Return
               : key == Key::Escape ? Qt::Key_Escape
               : key == Key::Space  ? Qt::Key_Space
                                    : Qt::Key_Tab;
    QString text = key == Key::Enter    ? QStringLiteral("\r")
                   : key == Key::Escape ? QString(QChar(0x1B))
                   : key == Key::Space  ? QStringLiteral(" ")
                                        : QStringLiteral("\t");
    QPointer<QWidget> guard(target);
    QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier, text);
    QCoreApplication::sendEvent(target, &press);
    if (guard) {
        QKeyEvent release(QEvent::KeyRelease, code, Qt::NoModifier, text);
        QCoreApplication::sendEvent(guard, &release);
    }
}

} // namespace

void PressKey(HWND window, Key key) {
    Window* w = FindWindow(window);
    if (!w || !w->widget)
        return;
    QWidget* top = w->widget->window();
    QWidget* target = QApplication::focusWidget();
    if (!target || target->window() != top)
        target = top->focusWidget();
    SendKey(target ? target : top, key);
}

void Click(HWND control) {
    Window* w = FindWindow(control);
    if (!w || !w->widget || !w->widget->isVisible() || !w->widget->isEnabled())
        return;
    QPointer<QWidget> target(w->widget.data());
    QPointF centre(target->width() / 2.0, target->height() / 2.0);
    QPointF global = target->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
    if (target) {
        QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &release);
    }
}

void CloseFromTitleBar(HWND window) {
    Window* w = FindWindow(window);
    if (w && w->widget && w->widget->isWindow())
        w->widget->close();
}

namespace {

// The real message box that is up, or nullptr.
QMessageBox* BoxUp() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box)
        return box;
    for (QWidget* w : QApplication::topLevelWidgets())
        if ((box = qobject_cast<QMessageBox*>(w)) && box->isVisible())
            return box;
    return nullptr;
}

} // namespace

bool PressOkOnMessageBox(std::wstring* text, std::wstring* note) {
    QMessageBox* box = BoxUp();
    if (!box || !box->button(QMessageBox::Ok))
        return false;
    MessageBoxUp(text, note);
    box->button(QMessageBox::Ok)->click();
    return true;
}

bool MessageBoxUp(std::wstring* text, std::wstring* note) {
    QMessageBox* box = BoxUp();
    if (box && text)
        *text = ToWString(box->text());
    if (box && note)
        *note = ToWString(box->informativeText());
    return box != nullptr;
}

bool PressKeyOnMessageBox(Key key) {
    QMessageBox* box = BoxUp();
    if (!box)
        return false;
    // Where the keyboard would send it: the box's focused button, else the box.
    QWidget* focused = QApplication::focusWidget();
    SendKey(focused && focused->window() == box ? focused : static_cast<QWidget*>(box), key);
    return true;
}

std::wstring WindowText(HWND window) {
    Window* w = FindWindow(window);
    return w ? w->text : std::wstring();
}

bool IsEnabled(HWND window) {
    Window* w = FindWindow(window);
    return w && !(w->style & WS_DISABLED);
}

bool IsShown(HWND window) {
    Window* w = FindWindow(window);
    return w && (w->style & WS_VISIBLE);
}

DWORD WindowStyle(HWND window) {
    Window* w = FindWindow(window);
    return w ? w->style : 0;
}

DWORD WindowExStyle(HWND window) {
    Window* w = FindWindow(window);
    return w ? w->exStyle : 0;
}

std::wstring ClassName(HWND window) {
    Window* w = FindWindow(window);
    return w ? w->className : std::wstring();
}

int ControlId(HWND window) {
    Window* w = FindWindow(window);
    return w ? w->id : 0;
}

RECT WindowRect(HWND window) {
    Window* w = FindWindow(window);
    if (!w || !w->widget)
        return RECT{0, 0, 0, 0};
    QRect g =
        w->widget->isWindow() ? QRect(QPoint(0, 0), w->widget->size()) : w->widget->geometry();
    return RECT{g.x(), g.y(), g.x() + g.width(), g.y() + g.height()};
}

std::vector<HWND> Children(HWND dialog) {
    std::vector<HWND> out;
    Window* w = FindWindow(dialog);
    if (w)
        for (Window* c : w->children)
            out.push_back(c->hwnd);
    return out;
}

HWND FocusWindow() {
    QWidget* focus = QApplication::focusWidget();
    if (!focus)
        return nullptr;
    for (QWidget* p = focus; p; p = p->parentWidget()) {
        QVariant v = p->property("vmodHwnd");
        if (v.isValid())
            return reinterpret_cast<HWND>(static_cast<uintptr_t>(v.toULongLong()));
    }
    return nullptr;
}

HICON WindowIcon(HWND window, bool big) {
    Window* w = FindWindow(window);
    return w ? (big ? w->iconBig : w->iconSmall) : nullptr;
}

int ProgressPos(HWND progress) {
    Window* w = FindWindow(progress);
    return w ? w->progressPos : 0;
}

bool BusyCursorShown() {
    return QGuiApplication::instance() && QGuiApplication::overrideCursor() &&
           QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor;
}

std::wstring FontFamily(HWND window) {
    Window* w = FindWindow(window);
    if (!w || !w->widget)
        return std::wstring();
    return ToWString(QFontInfo(w->widget->font()).family());
}

std::vector<IconImage> IconImages(HICON icon) {
    std::vector<IconImage> out;
    Image* image = ImageFromHandle(icon);
    if (!image)
        return out;
    for (size_t i = 0; i < image->images.size(); ++i)
        out.push_back(
            {image->images[i].width(), image->images[i].height(), image->bitsPerPixel[i]});
    return out;
}

TextFit MeasureText(HWND control) {
    Window* w = FindWindow(control);
    if (!w || !w->widget)
        return {};
    if (auto* label = qobject_cast<QLabel*>(w->widget.data())) {
        const int indent = label->indent() > 0 ? label->indent() : 0;
        return {QFontMetrics(label->font()).horizontalAdvance(label->text()),
                label->contentsRect().width() - 2 * label->margin() - indent};
    }
    if (auto* button = qobject_cast<QPushButton*>(w->widget.data())) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect room =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        return {QFontMetrics(button->font()).horizontalAdvance(button->text()), room.width()};
    }
    return {};
}

std::vector<uint32_t> RenderedRow(HWND window, int y) {
    Window* w = FindWindow(window);
    if (!w || !w->widget)
        return {};
    const QImage image = w->widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    // grab() renders at the screen's pixel ratio; the row is taken in the window's pixels.
    const qreal ratio = image.devicePixelRatio();
    const int row = static_cast<int>(y * ratio);
    std::vector<uint32_t> out;
    if (row < 0 || row >= image.height())
        return out;
    for (int x = 0; x < w->widget->width(); ++x)
        out.push_back(image.pixel(static_cast<int>(x * ratio), row));
    return out;
}

bool SaveScreenshot(HWND window, const std::string& pngPath) {
    Window* w = FindWindow(window);
    if (!w || !w->widget)
        return false;
    return w->widget->grab().save(QString::fromStdString(pngPath), "PNG");
}

} // namespace vmod_testing
