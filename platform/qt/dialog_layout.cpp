// Dialog units and the layout calls: the dialog's base units (how many pixels a template's
// dialog units are on this host), MapDialogRect, and the deferred window-position batch the
// layout re-flow moves the controls with. Finds windows through the registry (handles.cpp).
#include <QApplication>
#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <memory>
#include <set>

#include "platform/qt/host.h"

namespace vmod_qt {

namespace {

// The width a push button of the given size leaves its text inside its frame and margins.
int PushButtonTextRoom(int width, int height, const QString& text) {
    QStyleOptionButton option;
    option.rect = QRect(0, 0, width, height);
    option.text = text;
    option.state = QStyle::State_Enabled;
    return QApplication::style()
        ->subElementRect(QStyle::SE_PushButtonContents, &option, nullptr)
        .width();
}

// Whether every text a static or a push button of the template carries is drawn whole in its
// control with these base units.
bool TextsFit(const DialogTemplate& tpl, const QFontMetrics& metrics, BaseUnits units) {
    for (const DialogItem& item : tpl.items) {
        if (item.title.number != 0 || item.title.text.empty())
            continue; // an image, or nothing to draw
        const QString text = ToQString(item.title.text);
        const QRect place = ItemPixels(item, units);
        const int width = place.width();
        int room;
        switch (KindOfClass(item.windowClass)) {
        case Kind::Static:
            room = width;
            break;
        case Kind::Button:
            if ((item.style & 0x0F) > BS_DEFPUSHBUTTON)
                continue; // check boxes and radio buttons: not in the program's templates
            room = PushButtonTextRoom(width, place.height(), text);
            break;
        default:
            continue;
        }
        if (metrics.horizontalAdvance(text) > room)
            return false;
    }
    return true;
}

} // namespace

int MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    int64_t p = static_cast<int64_t>(a) * b;
    int64_t half = (c < 0 ? -c : c) / 2;
    bool negative = (p < 0) != (c < 0);
    int64_t q = ((p < 0 ? -p : p) + half) / (c < 0 ? -c : c);
    return static_cast<int>(negative ? -q : q);
}

// The handheld takes the base units from the dialog font alone: the average width of its Latin
// letters and its line height. The gothic face standing in for that font here draws some of the
// templates' texts wider than their controls hold at those units ("バージョンアップ後のバージョン"
// needs 158 pixels at 9 points, its 81 units give 142), and a cut label is no use to the
// reader. So the font's units are the least, and both grow in the same ratio (the templates keep
// their proportions, and the font its size) until every static and push-button text of the
// template fits its control.
RECT ToPixels(RECT units, BaseUnits base) {
    return {MulDiv(units.left, base.cx, 4), MulDiv(units.top, base.cy, 8),
            MulDiv(units.right, base.cx, 4), MulDiv(units.bottom, base.cy, 8)};
}

QRect ItemPixels(const DialogItem& item, BaseUnits base) {
    const RECT r = ToPixels({item.x, item.y, item.x + item.cx, item.y + item.cy}, base);
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

BaseUnits DialogBaseUnits(const DialogTemplate& tpl, const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const BaseUnits fromFont{std::max(1, (alphabet / 26 + 1) / 2), std::max(1, metrics.height())};
    // Four times the font's width is far beyond any label of these templates; a text that needs
    // more stays cut rather than blowing the dialog up.
    for (int cx = fromFont.cx; cx <= 4 * fromFont.cx; ++cx) {
        const BaseUnits units{cx, MulDiv(fromFont.cy, cx, fromFont.cx)};
        if (TextsFit(tpl, metrics, units))
            return units;
    }
    return fromFont;
}

} // namespace vmod_qt

using namespace vmod_qt;

BOOL MapDialogRect(HWND dialog, RECT* rect) {
    if (!rect)
        return FALSE;
    return static_cast<BOOL>(RunOnUi(
        [=] {
            Window* w = FindWindow(dialog);
            if (!w || !w->dialog)
                return LRESULT(FALSE);
            *rect = ToPixels(*rect, w->dialog->units);
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

// The batches begun and not yet ended; user-interface thread only.
std::set<Batch*>& LiveBatches() {
    static std::set<Batch*> live;
    return live;
}

} // namespace

HDWP BeginDeferWindowPos(int count) {
    if (count < 0)
        return nullptr;
    return reinterpret_cast<HDWP>(RunOnUi(
        [=] {
            auto* b = new Batch;
            b->moves.reserve(static_cast<size_t>(count));
            LiveBatches().insert(b);
            return reinterpret_cast<LRESULT>(b);
        },
        0));
}

HDWP DeferWindowPos(HDWP batch, HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy,
                    UINT flags) {
    (void)insertAfter;
    auto* b = reinterpret_cast<Batch*>(batch);
    return reinterpret_cast<HDWP>(RunOnUi(
        [=] {
            if (!WindowExists(hwnd) || !LiveBatches().count(b))
                return LRESULT(0);
            b->moves.push_back({hwnd, x, y, cx, cy, flags});
            return reinterpret_cast<LRESULT>(batch);
        },
        0));
}

BOOL EndDeferWindowPos(HDWP batch) {
    auto* b = reinterpret_cast<Batch*>(batch);
    return static_cast<BOOL>(RunOnUi(
        [=] {
            if (!LiveBatches().erase(b))
                return LRESULT(FALSE);
            std::unique_ptr<Batch> owned(b);
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
