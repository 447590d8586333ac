#include "ui/main/readout_band.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace plindo::ui {

namespace {

constexpr qsizetype kLeastCaption = 8;  // characters, with the ellipsis

QFont labelFont() { return monoSystemFont(9); }
QFont valueFont() { return monoSystemFont(11, QFont::DemiBold); }

QString text(const std::string& s) { return QString::fromStdString(s); }

int pairWidth(const std::pair<std::string, std::string>& row, const QFontMetrics& label, const QFontMetrics& value) {
    return label.horizontalAdvance(text(row.first)) + ReadoutBand::kPairSpacing + value.horizontalAdvance(text(row.second));
}

}  // namespace

ReadoutFit fitReadouts(const ReadoutRows& rows, const std::string& caption, int width) {
    const QFontMetrics label(labelFont()), value(valueFont()), note(labelFont());
    const int room = width - 2 * ReadoutBand::kInsetH;
    ReadoutFit fit;
    int used = 0;
    for (const auto& row : rows) {
        const int next = used + (fit.rows > 0 ? ReadoutBand::kRowSpacing : 0) + pairWidth(row, label, value);
        if (next > room) break;
        used = next;
        ++fit.rows;
    }
    // All pairs show before any of the caption does.
    if (fit.rows < int(rows.size()) || caption.empty()) return fit;
    const int left = room - used - 2 * ReadoutBand::kRowSpacing;
    const QString full = text(caption);
    // Measured as the pairs are, in whole points.
    const QString shown = note.horizontalAdvance(full) <= left ? full
                          : left > 0                           ? note.elidedText(full, Qt::ElideRight, left)
                                                               : QString();
    // A word cut to its first letters says nothing: shortened, the caption keeps a few of them or goes.
    if (shown != full && shown.size() <= kLeastCaption) return fit;
    fit.caption = shown;
    return fit;
}

ReadoutBand::ReadoutBand(int insetV, QWidget* parent) : QWidget(parent), insetV_(insetV) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ReadoutBand::setReadouts(const ReadoutRows& rows, const std::string& caption) {
    if (rows == rows_ && caption == caption_) return;
    rows_ = rows;
    caption_ = caption;
    fitWidth_ = -1;
    if (shown_) update();
}

void ReadoutBand::setShown(bool shown) {
    if (shown == shown_) return;
    shown_ = shown;
    if (shown_) update();
}

const ReadoutFit& ReadoutBand::fit() const {
    if (fitWidth_ != width()) {
        fit_ = fitReadouts(rows_, caption_, width());
        fitWidth_ = width();
    }
    return fit_;
}

QSize ReadoutBand::sizeHint() const {
    const QFontMetrics label(labelFont()), value(valueFont()), note(labelFont());
    int width = 2 * kInsetH + 2 * kRowSpacing + note.horizontalAdvance(text(caption_));
    for (const auto& row : rows_) width += pairWidth(row, label, value) + kRowSpacing;
    return {width, minimumSizeHint().height()};
}

QSize ReadoutBand::minimumSizeHint() const {
    const int line = std::max(QFontMetrics(labelFont()).height(), QFontMetrics(valueFont()).height());
    return {0, line + 2 * insetV_};
}

void ReadoutBand::paintEvent(QPaintEvent*) {
    const ReadoutFit& shownFit = fit();
    QPainter p(this);
    const QFont label = labelFont(), value = valueFont();
    const QFontMetrics lm(label), vm(value);
    const int top = insetV_, h = height() - 2 * insetV_;
    int x = kInsetH;
    for (int i = 0; i < shownFit.rows; ++i) {
        const QString name = text(rows_[size_t(i)].first), number = text(rows_[size_t(i)].second);
        p.setFont(label);
        p.setPen(colors::secondary());
        p.drawText(QRect(x, top, lm.horizontalAdvance(name), h), Qt::AlignLeft | Qt::AlignVCenter, name);
        x += lm.horizontalAdvance(name) + kPairSpacing;
        p.setFont(value);
        p.setPen(colors::primary());
        p.drawText(QRect(x, top, vm.horizontalAdvance(number), h), Qt::AlignLeft | Qt::AlignVCenter, number);
        x += vm.horizontalAdvance(number) + kRowSpacing;
    }
    if (shownFit.caption.isEmpty()) return;
    // The spacer pushes the caption to the band's trailing inset.
    p.setFont(label);
    p.setPen(colors::secondary());
    p.drawText(QRect(kInsetH, top, width() - 2 * kInsetH, h), Qt::AlignRight | Qt::AlignVCenter, shownFit.caption);
}

}  // namespace plindo::ui
