#include "ui/main/serato_browser_panel.h"

#include "ui/kit/colors.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace plindo::ui {

namespace {

constexpr int kRowSpacing = 2;
constexpr int kRowPadV = 4;
constexpr int kRowPadH = 10;
constexpr int kRowsPadH = 6;
constexpr double kRowRadius = 6;

struct Command {
    const char* symbol;
    const char* command;
};
constexpr Command kCommands[] = {{"chevron.up", "up"},
                                 {"chevron.down", "down"},
                                 {"chevron.left", "left"},
                                 {"chevron.right", "right"},
                                 {"arrow.right.to.line", "tab"}};

}  // namespace

// The rows, painted; a tap reports the row index.
class SeratoBrowserPanel::Rows : public QWidget {
public:
    Rows(SeratoBrowserPanel& panel) : panel_(panel) { setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed); }

    int rowHeight() const {
        return std::max(QFontMetrics(ui::font(TextStyle::body)).height(), QFontMetrics(ui::font(TextStyle::caption)).height()) +
               2 * kRowPadV;
    }
    QRect rowRect(int i) const { return {kRowsPadH, i * (rowHeight() + kRowSpacing), width() - 2 * kRowsPadH, rowHeight()}; }
    int rowAt(QPoint p) const {
        for (int i = 0; i < int(panel_.shown_.rows.size()); ++i)
            if (rowRect(i).contains(p)) return i;
        return -1;
    }
    void relayout() {
        const int n = int(panel_.shown_.rows.size());
        setFixedHeight(n == 0 ? 0 : n * rowHeight() + (n - 1) * kRowSpacing);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const auto& snap = panel_.shown_;
        for (int i = 0; i < int(snap.rows.size()); ++i) {
            const QRect r = rowRect(i);
            const bool cursor = i == snap.cursor;
            if (cursor) {
                QPainterPath shape;
                shape.addRoundedRect(r, kRowRadius, kRowRadius);
                p.fillPath(shape, colors::withOpacity(colors::deck(panel_.pane_ + 1), 0.3));
            }
            QFont first = ui::font(TextStyle::body);
            first.setWeight(cursor ? QFont::DemiBold : QFont::Normal);
            const QFont second = ui::font(TextStyle::caption);
            const QString secondText = QString::fromStdString(snap.rows[size_t(i)].second);
            const QRect inner = r.adjusted(kRowPadH, 0, -kRowPadH, 0);
            const int secondW = std::min(QFontMetrics(second).horizontalAdvance(secondText) + 1, inner.width() / 2);
            p.setFont(second);
            p.setPen(colors::secondary());
            p.drawText(QRect(inner.right() - secondW, inner.top(), secondW, inner.height()), Qt::AlignVCenter | Qt::AlignRight,
                       QFontMetrics(second).elidedText(secondText, Qt::ElideRight, secondW));
            p.setFont(first);
            p.setPen(colors::primary());
            const int firstW = std::max(0, inner.width() - secondW - 6);
            p.drawText(QRect(inner.left(), inner.top(), firstW, inner.height()), Qt::AlignVCenter | Qt::AlignLeft,
                       QFontMetrics(first).elidedText(QString::fromStdString(snap.rows[size_t(i)].first), Qt::ElideRight,
                                                      firstW));
        }
    }
    void mousePressEvent(QMouseEvent* e) override {
        pressed_ = rowAt(e->position().toPoint());
        e->setAccepted(pressed_ >= 0);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        const int at = rowAt(e->position().toPoint());
        if (at < 0 || at != std::exchange(pressed_, -1)) return;
        const auto snap = panel_.state_.seratoBrowserRows();
        const bool load = at == snap.cursor && !snap.crates;
        panel_.state_.writeActivePane(panel_.pane_);
        panel_.state_.seratoLibraryCommand(panel_.pane_ + 1, load ? "load" : "tap", at);
    }

private:
    SeratoBrowserPanel& panel_;
    int pressed_ = -1;
};

SeratoBrowserPanel::SeratoBrowserPanel(host::HostUi& state, int pane, QWidget* parent)
    : QWidget(parent), state_(state), pane_(pane) {
    setObjectName("seratoBrowser");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(10, 8, 10, 0);
    header->setSpacing(8);
    icon_ = new QLabel;
    title_ = new QLabel;
    title_->setFont(ui::font(TextStyle::headline));
    header->addWidget(icon_);
    header->addWidget(title_, 1);
    column->addLayout(header);

    rows_ = new Rows(*this);
    scroll_ = new QScrollArea;
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    auto* holder = new QWidget;
    holder->setAutoFillBackground(false);
    auto* holderLayout = new QVBoxLayout(holder);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    holderLayout->addWidget(rows_);
    holderLayout->addStretch(1);
    scroll_->setWidget(holder);
    column->addWidget(scroll_, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(10, 0, 10, 8);
    buttons->setSpacing(8);
    for (const Command& c : kCommands) {
        auto* b = new QToolButton;
        b->setObjectName(c.command);
        b->setIcon(systemIcon(c.symbol, 14, colors::primary()));
        b->setFixedSize(kButtonW, kButtonH);
        b->setFocusPolicy(Qt::NoFocus);
        const std::string command = c.command;
        connect(b, &QToolButton::clicked, this, [this, command] {
            state_.writeActivePane(pane_);
            state_.seratoLibraryCommand(pane_ + 1, command, 1);
        });
        buttons->addWidget(b);
    }
    load_ = new QPushButton("LOAD");
    load_->setObjectName("load");
    load_->setFocusPolicy(Qt::NoFocus);
    load_->setAutoDefault(false);  // Return reaches it through the window's key monitor
    connect(load_, &QPushButton::clicked, this, [this] { state_.seratoLibraryCommand(pane_ + 1, "load", 1); });
    buttons->addWidget(load_);
    buttons->addStretch(1);
    column->addLayout(buttons);

    connect(&state_, &host::HostUi::seratoBrowserRevChanged, this, &SeratoBrowserPanel::refresh);
    connect(&state_, &host::HostUi::decksChanged, this, &SeratoBrowserPanel::refresh);
    refresh();
}

QToolButton* SeratoBrowserPanel::commandButton(const std::string& command) const {
    return findChild<QToolButton*>(QString::fromStdString(command));
}

int SeratoBrowserPanel::rowCount() const { return int(shown_.rows.size()); }

int SeratoBrowserPanel::litRow() const {
    return shown_.cursor >= 0 && shown_.cursor < rowCount() ? shown_.cursor : -1;
}

QRect SeratoBrowserPanel::rowRect(int row) const {
    const QRect r = rows_->rowRect(row);
    return QRect(rows_->mapTo(this, r.topLeft()), r.size());
}

void SeratoBrowserPanel::refresh() {
    auto snapshot = state_.seratoBrowserRows();
    if (snapshot == shown_ && !title_->text().isEmpty()) return;  // decks change often; the browser seldom
    shown_ = std::move(snapshot);
    icon_->setPixmap(systemPixmap(shown_.crates ? "folder" : "music.note.list", 14, colors::primary(), devicePixelRatioF()));
    title_->setText(shown_.title.empty() ? "Serato" : QString::fromStdString(shown_.title));
    rows_->relayout();
}

}  // namespace plindo::ui
