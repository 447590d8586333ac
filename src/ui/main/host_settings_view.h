#pragma once
// The settings window: per deck the output device and channel pair, the Files folder, follow ease, the
// external OSC playhead, the DJ logo and the mapping export. Every control writes through at once; there is
// no Apply. It acts only on the user's own signals (activated, clicked, textEdited) and redraws under
// signal blockers, so a redraw never writes anything back. Esc and Ctrl+W close it.
#include "host/host_ui.h"

#include <QWidget>

#include <array>

class QComboBox;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace plindo::ui {

class FileDialogs;

class HostSettingsView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 480;
    static constexpr int kPickerWidth = 320;
    static constexpr int kFolderWidth = 360;

    HostSettingsView(host::HostUi& state, FileDialogs& dialogs, QWidget* parent = nullptr);

    // Re-reads everything shown; runs on every published change of the controller and when shown.
    void refresh();

    // Copies the mapping resource ":/serato/<resource>.<type>" to where the user picks in the save dialog
    // (starting in `directory`, "~" for the home folder, when it exists). The outcome goes to the status line.
    static void saveSeratoMapping(const QString& resource, const QString& type, const QString& directory,
                                  const QString& fileName, host::HostUi& state, FileDialogs& dialogs,
                                  QWidget* parent = nullptr);
    // With the values of the settings button and of the controller's offer.
    static void saveSeratoMapping(QWidget* parent, host::HostUi& state, FileDialogs& dialogs);

    // The output formats whose messages the shipped mapping binds right; the others send platter messages
    // that land on its pitch, play or cue bindings.
    static constexpr std::array<const char*, 2> kMappingFormats{"rel", "phone"};
    static constexpr const char* kMappingFormatsText =
        "The file is for the \"rel\" (default) and \"phone\" output formats. With \"twelve\", \"jog\" or "
        "\"radian\" load no file and bind the decks with Serato's own MIDI learn.";

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct DeckBlock {
        QComboBox* device = nullptr;
        QComboBox* channels = nullptr;
        QLabel* channelsText = nullptr;
    };
    QWidget* makeDeckBlock(int index, const QString& title);
    void deviceChosen(int index, int row);
    void channelChosen(int index, int row);

    host::HostUi& state_;
    FileDialogs& dialogs_;
    DeckBlock decks_[2];
    QLineEdit* folder_ = nullptr;
    QLabel* libraryStatus_ = nullptr;
    QCheckBox* followEase_ = nullptr;
    QCheckBox* mePlayhead_ = nullptr;
    QLabel* playheadText_ = nullptr;
    QPushButton* logo_ = nullptr;
    QWidget* networkNotice_ = nullptr;
};

}  // namespace plindo::ui
