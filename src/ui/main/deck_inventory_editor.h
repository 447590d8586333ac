#pragma once
// Edits this host's named deck seats: always four rows, seat 1 to 4. An empty position offers "Add" (the new
// seat takes the lowest free number); a seat shows its name with "Rename" and, from seat 2 on, "Remove". One
// row at a time edits its name; Return in the field or the row's "Done" stores the trimmed name. Every change
// goes to the inventory at once, which stores it.
#include "group/deck_inventory.h"

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

class QGridLayout;
class QLineEdit;
class QToolButton;

namespace plindo::ui {

class DeckInventoryEditor : public QWidget {
    Q_OBJECT

public:
    explicit DeckInventoryEditor(group::DeckInventory& inventory, QWidget* parent = nullptr);
    ~DeckInventoryEditor() override;

    const std::optional<int>& editing() const { return editing_; }
    const std::string& draft() const { return draft_; }

    // What row n (1 to 4) shows: its text and its buttons by label; the name field while it edits.
    QString rowText(int n) const;
    QToolButton* rowButton(int n, const QString& label) const;
    QLineEdit* nameField() const { return field_; }

signals:
    // A row started or stopped editing (the sheet then gives up or takes back its default button).
    void editingChanged(bool editing);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuild();
    QWidget* liveRow(int n) const;
    void startRename(int n);
    void commit(int n);
    void remove(int n);
    void setEditing(std::optional<int> n);

    group::DeckInventory& inventory_;
    int subscription_ = 0;
    std::optional<int> editing_;
    std::string draft_;
    QGridLayout* grid_;
    QLineEdit* field_ = nullptr;
};

}  // namespace plindo::ui
