#include "ui/main/crate_tree_column.h"

#include "ui/kit/colors.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"
#include "ui/main/focus_frame.h"

#include <QAbstractListModel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace plindo::ui {

namespace {
constexpr int kIconPx = 13;
}  // namespace

class CrateTreeColumn::Model : public QAbstractListModel {
public:
    explicit Model(CrateTreeColumn& column) : column_(column) {}
    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : int(column_.rows_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::DisplayRole && index.row() < int(column_.rows_.size()))
            return QString::fromStdString(column_.rows_[size_t(index.row())].name);
        return {};
    }
    void reset() {
        beginResetModel();
        endResetModel();
    }
    void rowsChanged() {
        if (!column_.rows_.empty()) emit dataChanged(index(0), index(int(column_.rows_.size()) - 1));
    }

private:
    CrateTreeColumn& column_;
};

class CrateTreeColumn::Delegate : public QStyledItemDelegate {
public:
    explicit Delegate(CrateTreeColumn& column) : QStyledItemDelegate(&column), column_(column) {}

    static QFont fontFor(const CrateRow& row) {
        QFont f = ui::font(row.depth == 0 ? TextStyle::headline : TextStyle::body);
        f.setWeight(row.depth == 0 ? QFont::Black : row.selected ? QFont::Bold : QFont::Normal);
        return f;
    }

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const auto& row = column_.rows_[size_t(index.row())];
        const int line = std::max(QFontMetrics(fontFor(row)).height(), kIconPx);
        return {column_.viewport()->width(), line + 2 * kRowPadV};
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const auto& row = column_.rows_[size_t(index.row())];
        const QRect r = option.rect;
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        if (row.selected) p->fillRect(r, colors::withOpacity(colors::accent(), 0.15));
        int x = r.left() + crateRowIndent(row.depth);
        const QColor ink = row.selected ? colors::accent() : colors::primary();
        if (row.hasChildren) {
            const double s = pixelSize(TextStyle::caption2) * 0.9;
            paintSystemImage(*p, row.open ? "chevron.down" : "chevron.right",
                             QRectF(x + (kChevronWidth - s) / 2, r.center().y() - s / 2 + 0.5, s, s), ink);
        }
        x += kChevronWidth + kSpacing;
        paintSystemImage(*p, row.hasChildren ? "folder" : "square.stack",
                         QRectF(x, r.center().y() - kIconPx / 2.0 + 0.5, kIconPx, kIconPx), ink);
        x += kIconPx + kSpacing + 2;
        p->setFont(fontFor(row));
        p->setPen(ink);
        const QRect text(x, r.top(), std::max(0, r.right() - x), r.height());
        p->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                    p->fontMetrics().elidedText(QString::fromStdString(row.name), Qt::ElideRight, text.width()));
        p->restore();
    }

private:
    CrateTreeColumn& column_;
};

CrateTreeColumn::CrateTreeColumn(host::HostUi& state, int pane, QWidget* parent)
    : QListView(parent), state_(state), pane_(pane), model_(new Model(*this)) {
    setObjectName("crateColumn");
    model_->setParent(this);
    setModel(model_);
    setItemDelegate(new Delegate(*this));
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::NoFocus);  // the keyboard goes to the window's key monitor
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setResizeMode(QListView::Adjust);  // rows span the width
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    frame_ = new FocusFrame(this);
    connect(&state_, &host::HostUi::panesChanged, this, &CrateTreeColumn::refresh);
    connect(&state_, &host::HostUi::activePaneChanged, this, &CrateTreeColumn::refresh);
    refresh();
}

void CrateTreeColumn::refresh() {
    const host::LibPane& pane = state_.panes()[size_t(pane_)];
    auto rows = crateRows(pane.crateTree, pane.expanded, pane.selectedCrate);
    if (rows != rows_) {
        const bool sameShape = rows.size() == rows_.size() &&
                               std::equal(rows.begin(), rows.end(), rows_.begin(), [](const auto& a, const auto& b) {
                                   return a.fullName == b.fullName && a.depth == b.depth;
                               });
        rows_ = std::move(rows);
        if (sameShape) model_->rowsChanged();
        else model_->reset();
    }
    if (pane.selectedCrate != lastSelected_) {
        lastSelected_ = pane.selectedCrate;
        // A selection hidden under a closed parent scrolls nowhere.
        for (size_t i = 0; lastSelected_ && i < rows_.size(); ++i)
            if (rows_[i].fullName == *lastSelected_) scrollTo(model_->index(int(i)), QAbstractItemView::PositionAtCenter);
    }
    frame_->setLit(state_.activePane() == pane_ && pane.focus == host::LibFocus::crates);
    viewport()->update();
    update();
}

bool CrateTreeColumn::tinted() const {
    return state_.panes()[size_t(pane_)].focus == host::LibFocus::crates;
}

void CrateTreeColumn::paintEvent(QPaintEvent* event) {
    if (tinted()) {
        QPainter p(viewport());
        p.fillRect(viewport()->rect(), colors::withOpacity(colors::accent(), 0.06));
    }
    QListView::paintEvent(event);
}

QRect CrateTreeColumn::rowRect(int row) const {
    const_cast<CrateTreeColumn*>(this)->executeDelayedItemsLayout();  // the rows are laid out lazily
    return visualRect(model_->index(row));
}

QRect CrateTreeColumn::chevronRect(int row) const {
    if (row < 0 || row >= int(rows_.size()) || !rows_[size_t(row)].hasChildren) return {};
    const QRect r = rowRect(row);
    return {r.left() + crateRowIndent(rows_[size_t(row)].depth), r.top(), kChevronWidth, r.height()};
}

void CrateTreeColumn::toggle(const CrateRow& row) {
    std::set<std::string> expanded = state_.panes()[size_t(pane_)].expanded;
    if (!expanded.erase(row.fullName)) expanded.insert(row.fullName);
    state_.writeExpanded(pane_, expanded);
}

void CrateTreeColumn::mousePressEvent(QMouseEvent* event) {
    pressedRow_ = event->button() == Qt::LeftButton ? indexAt(event->position().toPoint()).row() : -1;
    event->accept();
}

void CrateTreeColumn::mouseMoveEvent(QMouseEvent* event) { event->accept(); }
void CrateTreeColumn::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void CrateTreeColumn::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    const QPoint pos = event->position().toPoint();
    const int at = indexAt(pos).row();
    const int pressed = std::exchange(pressedRow_, -1);
    if (at < 0 || at != pressed || at >= int(rows_.size())) return;
    const CrateRow row = rows_[size_t(at)];  // a copy: the writes below rebuild the rows
    if (chevronRect(at).contains(pos)) {
        toggle(row);
        return;
    }
    if (row.depth == 0) toggle(row);
    else state_.selectCrate(row.fullName, pane_, false);
    state_.writePaneFocus(pane_, host::LibFocus::crates);
    state_.setActivePane(pane_);
}

}  // namespace plindo::ui
