#pragma once
// The switch above a deck's placement panel that chooses who plays the deck: "Plindo" (this host) or
// "Other" (another DJ application, through the bridge). The selected choice follows the deck's bridged
// state; a press marks the choice as made by hand in the settings, then asks the controller.
#include <QAbstractButton>
#include <QWidget>

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

class SourceSwitch : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 30;

    // `deck` is 1 or 2.
    SourceSwitch(host::HostUi& host, int deck, QWidget* parent = nullptr);

    // The button of the choice: false "Plindo", true "Other".
    QAbstractButton* button(bool other) const { return buttons_[other ? 1 : 0]; }
    // Whether the choice shows as selected.
    bool selected(bool other) const;

private:
    void refresh();
    void choose(bool other);

    host::HostUi& host_;
    const int deck_;
    QAbstractButton* buttons_[2] = {};
};

}  // namespace plindo::ui
