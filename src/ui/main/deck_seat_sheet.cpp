#include "ui/main/deck_seat_sheet.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"
#include "ui/main/deck_inventory_editor.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace plindo::ui {

DeckSeatSheet::DeckSeatSheet(group::DeckInventory& inventory, QWidget* parent) : QDialog(parent) {
    setObjectName("deckSeatSheet");
    setWindowTitle("Decks");
    setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(10);
    auto* title = new QLabel("Decks");
    title->setFont(ui::font(TextStyle::headline));
    column->addWidget(title);
    auto* help = new QLabel(kHelp);
    help->setFont(ui::font(TextStyle::caption));
    help->setWordWrap(true);
    QPalette secondary = help->palette();
    secondary.setColor(QPalette::WindowText, colors::secondary());
    help->setPalette(secondary);
    column->addWidget(help);
    auto* form = new QFrame;
    form->setFrameShape(QFrame::StyledPanel);
    auto* formLayout = new QVBoxLayout(form);
    editor_ = new DeckInventoryEditor(inventory);
    formLayout->addWidget(editor_);
    column->addWidget(form);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    done_ = new QPushButton("Done");
    done_->setObjectName("done");
    done_->setDefault(true);
    // "Done" closes without storing a name being typed: the field's own Return does that.
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(done_);
    column->addLayout(buttons);
    connect(editor_, &DeckInventoryEditor::editingChanged, this, [this](bool editing) {
        done_->setDefault(!editing);
        done_->setAutoDefault(!editing);
    });
}

}  // namespace plindo::ui
