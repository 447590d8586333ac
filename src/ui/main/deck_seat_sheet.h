#pragma once
// The "Decks" sheet: the seat editor under its title and help text, closed by "Done". "Done" is the default
// button except while a row edits its name, so Return there stores the name and the sheet stays.
#include "group/deck_inventory.h"

#include <QDialog>

class QPushButton;

namespace plindo::ui {

class DeckInventoryEditor;

class DeckSeatSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int kWidth = 420;
    static constexpr const char* kHelp =
        "Up to four per device, each with a name. They are the four strips of the mixer rack.";

    DeckSeatSheet(group::DeckInventory& inventory, QWidget* parent = nullptr);

    DeckInventoryEditor* editor() const { return editor_; }
    QPushButton* doneButton() const { return done_; }

private:
    DeckInventoryEditor* editor_;
    QPushButton* done_;
};

}  // namespace plindo::ui
