// The widgets behind the windows: the dialog and its controls made from a template, their texts
// and images, and what a window does with a message nobody else handles. Runs on the
// user-interface thread; finds windows through the registry (handles.cpp) and converts the
// template's units with dialog_layout.cpp.
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>

#include <algorithm>

#include "platform/qt/host.h"

namespace vmod_qt {
namespace {

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
    // The resource compiler names the predefined classes by number; of the classes named by
    // string the templates use only the progress bar's.
    const QString progress = QString::fromWCharArray(PROGRESS_CLASSW);
    if (ToQString(cls.text).compare(progress, Qt::CaseInsensitive) == 0)
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

} // namespace

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
    widget->setFont(font);
    st->units = DialogBaseUnits(tpl, font);

    dlg->text = tpl.caption;
    widget->setWindowTitle(ToQString(tpl.caption));
    const RECT size = ToPixels({0, 0, tpl.cx, tpl.cy}, st->units);
    const int width = size.right, height = size.bottom;
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
        const QRect r = ItemPixels(item, st->units); // as MapDialogRect places it on a re-flow
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

} // namespace vmod_qt
