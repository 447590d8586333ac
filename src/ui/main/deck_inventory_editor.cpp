#include "ui/main/deck_inventory_editor.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace plindo::ui {

namespace {

constexpr int kRows = 4;

// Whitespace and line breaks off both ends; what lies inside stays.
std::string trimmed(const std::string& s) {
    return QString::fromStdString(s).trimmed().toStdString();
}

QToolButton* rowButton(const QString& label, bool caption) {
    auto* b = new QToolButton;
    b->setText(label);
    b->setObjectName(label);
    b->setAutoRaise(true);  // borderless
    if (caption) b->setFont(ui::font(TextStyle::caption));
    return b;
}

}  // namespace

DeckInventoryEditor::DeckInventoryEditor(group::DeckInventory& inventory, QWidget* parent)
    : QWidget(parent), inventory_(inventory) {
    setObjectName("deckInventoryEditor");
    grid_ = new QGridLayout(this);
    grid_->setContentsMargins(0, 0, 0, 0);
    subscription_ = inventory_.subscribe([this] { rebuild(); });
    rebuild();
}

DeckInventoryEditor::~DeckInventoryEditor() { inventory_.unsubscribe(subscription_); }

void DeckInventoryEditor::rebuild() {
    // The field keeps its text and focus across a rebuild, so a removal elsewhere does not end the editing.
    const bool fieldHadFocus = field_ && field_->hasFocus();
    while (QLayoutItem* item = grid_->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->deleteLater();  // its own button may be running this
        }
        if (QLayout* l = item->layout()) {
            while (QLayoutItem* inner = l->takeAt(0)) {
                if (inner->widget()) inner->widget()->deleteLater();
                delete inner;
            }
        }
        delete item;
    }
    field_ = nullptr;
    for (int n = 1; n <= kRows; ++n) {
        auto* row = new QWidget;
        row->setObjectName("row" + QString::number(n));
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 2, 0, 2);
        const auto seat = inventory_.slot(n);
        if (!seat) {
            auto* text = new QLabel("Deck " + QString::number(n));
            text->setObjectName("text");
            QPalette tertiary = text->palette();
            tertiary.setColor(QPalette::WindowText, colors::tertiary());
            text->setPalette(tertiary);
            h->addWidget(text);
            h->addStretch(1);
            auto* add = ui::rowButton("Add", true);
            connect(add, &QToolButton::clicked, this, [this] { inventory_.add(""); });
            h->addWidget(add);
        } else if (editing_ == n) {
            field_ = new QLineEdit(QString::fromStdString(draft_));
            field_->setObjectName("nameField");
            field_->setPlaceholderText("Deck " + QString::number(n));
            connect(field_, &QLineEdit::textEdited, this, [this](const QString& t) { draft_ = t.toStdString(); });
            field_->installEventFilter(this);  // Return commits here and goes no further
            h->addWidget(field_, 1);
            auto* done = ui::rowButton("Done", false);
            connect(done, &QToolButton::clicked, this, [this, n] { commit(n); });
            h->addWidget(done);
        } else {
            auto* text = new QLabel(QString::fromStdString(seat->displayName()));
            text->setObjectName("text");
            text->setTextFormat(Qt::PlainText);
            h->addWidget(text);
            h->addStretch(1);
            auto* rename = ui::rowButton("Rename", true);
            connect(rename, &QToolButton::clicked, this, [this, n] { startRename(n); });
            h->addWidget(rename);
            if (n >= 2) {
                auto* remove = ui::rowButton("Remove", true);
                QPalette red = remove->palette();
                red.setColor(QPalette::ButtonText, colors::red());
                remove->setPalette(red);
                connect(remove, &QToolButton::clicked, this, [this, n] { this->remove(n); });
                h->addWidget(remove);
            }
        }
        grid_->addWidget(row, n - 1, 0);
        row->show();  // at once, not on the next turn of the event loop
    }
    if (field_ && (fieldHadFocus || isVisible())) field_->setFocus();
}

QWidget* DeckInventoryEditor::liveRow(int n) const {
    // Rows replaced by a rebuild wait for their deferred deletion outside the layout.
    QLayoutItem* item = n >= 1 && n <= kRows ? grid_->itemAtPosition(n - 1, 0) : nullptr;
    return item ? item->widget() : nullptr;
}

QString DeckInventoryEditor::rowText(int n) const {
    QWidget* row = liveRow(n);
    auto* label = row ? row->findChild<QLabel*>("text") : nullptr;
    return label ? label->text() : QString();
}

QToolButton* DeckInventoryEditor::rowButton(int n, const QString& label) const {
    QWidget* row = liveRow(n);
    return row ? row->findChild<QToolButton*>(label) : nullptr;
}

bool DeckInventoryEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched != field_ || event->type() != QEvent::KeyPress || !editing_) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    commit(*editing_);
    return true;
}

void DeckInventoryEditor::startRename(int n) {
    const auto seat = inventory_.slot(n);
    draft_ = seat ? seat->name : "";  // the stored name: empty for the default one
    setEditing(n);
}

void DeckInventoryEditor::commit(int n) {
    inventory_.rename(n, trimmed(draft_));
    draft_.clear();
    setEditing(std::nullopt);
}

void DeckInventoryEditor::remove(int n) { inventory_.removeOrdinal(n); }

void DeckInventoryEditor::setEditing(std::optional<int> n) {
    const bool was = editing_.has_value();
    editing_ = n;
    rebuild();
    if (was != n.has_value()) emit editingChanged(n.has_value());
}

}  // namespace plindo::ui
