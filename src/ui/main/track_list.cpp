#include "ui/main/track_list.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"
#include "ui/library/vinyl_crate_view.h"
#include "ui/main/focus_frame.h"

#include <QAbstractListModel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace plindo::ui {

class TrackList::Model : public QAbstractListModel {
public:
    explicit Model(TrackList& list) : list_(list) {}
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(list_.tracks_.size()); }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::DisplayRole && index.row() < int(list_.tracks_.size()))
            return QString::fromStdString(list_.tracks_[size_t(index.row())].name);
        return {};
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return QAbstractListModel::flags(index) | Qt::ItemIsDragEnabled;
    }
    QStringList mimeTypes() const override { return {"text/plain"}; }
    QMimeData* mimeData(const QModelIndexList& indexes) const override {
        return indexes.isEmpty() ? nullptr : list_.payload(indexes.first().row());
    }
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }
    void reset() {
        beginResetModel();
        endResetModel();
    }
    void changed() {
        if (!list_.tracks_.empty()) emit dataChanged(index(0), index(int(list_.tracks_.size()) - 1));
    }

private:
    TrackList& list_;
};

class TrackList::Delegate : public QStyledItemDelegate {
public:
    explicit Delegate(TrackList& list) : QStyledItemDelegate(&list), list_(list) {}
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return {list_.viewport()->width(), QFontMetrics(ui::font(TextStyle::title3)).height() + 2 * kPadV};
    }
    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QRect r = option.rect;
        if (index.row() == list_.selected_) p->fillRect(r, colors::withOpacity(colors::accent(), 0.3));
        p->save();
        p->setFont(ui::font(TextStyle::title3));
        p->setPen(colors::primary());
        const QRect text = r.adjusted(kPadH, 0, -kPadH, 0);
        p->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                    p->fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, text.width()));
        p->restore();
    }

private:
    TrackList& list_;
};

TrackList::TrackList(host::HostUi& state, int pane, QWidget* parent)
    : QListView(parent), state_(state), pane_(pane), model_(new Model(*this)) {
    setObjectName("trackList");
    model_->setParent(this);
    setModel(model_);
    setItemDelegate(new Delegate(*this));
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::SingleSelection);  // a drag needs a current row; the lit row is ours
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::NoFocus);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    setUniformItemSizes(true);
    setResizeMode(QListView::Adjust);  // rows span the width
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setAutoFillBackground(false);
    frame_ = new FocusFrame(this);
    selected_ = state_.panes()[size_t(pane_)].selectedTrackIdx;
    tracks_ = state_.panes()[size_t(pane_)].tracks;
    connect(&state_, &host::HostUi::panesChanged, this, &TrackList::refresh);
    connect(&state_, &host::HostUi::activePaneChanged, this, &TrackList::refresh);
    refresh();
}

QRect TrackList::rowRect(int row) const {
    const_cast<TrackList*>(this)->executeDelayedItemsLayout();  // the rows are laid out lazily
    return visualRect(model_->index(row));
}

QMimeData* TrackList::payload(int row) const {
    if (row < 0 || row >= int(tracks_.size())) return nullptr;
    return VinylCrateView::textPayload(tracks_[size_t(row)].path);
}

void TrackList::mousePressEvent(QMouseEvent* event) {
    pressedRow_ = event->button() == Qt::LeftButton ? indexAt(event->position().toPoint()).row() : -1;
    QListView::mousePressEvent(event);  // arms the row's drag
}

void TrackList::mouseReleaseEvent(QMouseEvent* event) {
    const int at = indexAt(event->position().toPoint()).row();
    QListView::mouseReleaseEvent(event);
    if (at >= 0 && at == std::exchange(pressedRow_, -1)) tapped(at);
}

void TrackList::showEvent(QShowEvent* event) {
    QListView::showEvent(event);
    if (shown_) return;
    shown_ = true;
    state_.writeLibEntryCount(pane_, int(tracks_.size()));
}

void TrackList::tapped(int row) {
    if (row < 0 || row >= int(tracks_.size())) return;
    const std::string path = tracks_[size_t(row)].path;
    // Taken as seen, so the reaction to a changed selection does not write the focus path a second time.
    selected_ = row;
    model_->changed();
    state_.writeSelectedTrackIdx(pane_, row);
    state_.writeLibFocusPath(pane_, path);
    state_.setLibFocus(true);
}

void TrackList::refresh() {
    const host::LibPane& pane = state_.panes()[size_t(pane_)];
    const size_t oldCount = tracks_.size();
    if (pane.tracks != tracks_) {
        tracks_ = pane.tracks;
        model_->reset();
        if (shown_ && tracks_.size() != oldCount) state_.writeLibEntryCount(pane_, int(tracks_.size()));
    }
    // Re-read: the write above may have published a new record.
    const host::LibPane& now = state_.panes()[size_t(pane_)];
    if (now.selectedTrackIdx != selected_) {
        selected_ = now.selectedTrackIdx;
        model_->changed();
        if (selected_ >= 0 && selected_ < int(tracks_.size())) {
            scrollTo(model_->index(selected_), QAbstractItemView::PositionAtCenter);
            if (now.libFocusPath != tracks_[size_t(selected_)].path)
                state_.writeLibFocusPath(pane_, tracks_[size_t(selected_)].path);
        }
    }
    frame_->setLit(state_.activePane() == pane_ && state_.panes()[size_t(pane_)].focus == host::LibFocus::tracks);
}

}  // namespace plindo::ui
