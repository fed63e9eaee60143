// How controls look where the toolkit's own drawing differs from the handheld's controls: the
// progress bar drawn in blocks, and read-only edits on the dialog's background. Owns only the
// drawing of single widgets; the dialog host makes them (widgets.cpp) and sets their values.
#include <QPalette>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStylePainter>

#include "platform/qt/host.h"

namespace vmod_qt {

namespace {

// Space between two blocks of the bar, in pixels.
constexpr int kBlockGap = 2;

// A progress bar without PBS_SMOOTH, as the handheld draws one: the bar's frame, and in it
// separate blocks two thirds as wide as the inside is high, two pixels apart, from the left edge
// for as far as the position reaches (the last block is drawn whole).
class BlockProgressBar : public QProgressBar {
  public:
    using QProgressBar::QProgressBar;

  protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionProgressBar option;
        initStyleOption(&option);
        painter.drawControl(QStyle::CE_ProgressBarGroove, option);
        const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this);
        const QRect inside = rect().adjusted(frame + 1, frame + 1, -frame - 1, -frame - 1);
        const long long span = static_cast<long long>(maximum()) - minimum();
        if (span <= 0 || inside.width() <= 0 || inside.height() <= 0)
            return;
        const int reach =
            static_cast<int>((static_cast<long long>(value()) - minimum()) * inside.width() / span);
        const int block = std::max(1, inside.height() * 2 / 3);
        for (int x = 0; x < reach; x += block + kBlockGap)
            painter.fillRect(QRect(inside.left() + x, inside.top(),
                                   std::min(block, inside.width() - x), inside.height()),
                             palette().brush(QPalette::Highlight));
    }
};

} // namespace

QProgressBar* MakeProgressBar(QWidget* parent, DWORD style) {
    return (style & PBS_SMOOTH) ? new QProgressBar(parent) : new BlockProgressBar(parent);
}

void DrawOnDialogBackground(QWidget* edit) {
    QPalette palette = edit->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Window));
    edit->setPalette(palette);
}

} // namespace vmod_qt
