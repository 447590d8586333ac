#pragma once
// The program's window: "Plindo" with the main screen, the "Plindo" menu (Settings…, Quit Plindo), the
// controller started on every show, and the controller's offer to save the mapping asked as a question.
// Closing it or choosing Quit asks the program to end through `quitRequested`.
#include "host/host_ui.h"
#include "ui/main/host_settings_view.h"

#include <QMainWindow>
#include <QPointer>

namespace plindo::ui {

class FileDialogs;
class HostMainScreen;

class HostMainWindow : public QMainWindow {
    Q_OBJECT

public:
    HostMainWindow(host::HostUi& state, FileDialogs& dialogs, QWidget* parent = nullptr);

    // The size the window opens at: `wanted`, kept within the screen's free area (a laptop's 1366×768 with a
    // panel) but never below the window's minimum.
    static QSize startSize(QSize wanted, QSize available);

    HostMainScreen* screen() const { return screen_; }
    // Opens (or raises) the settings window.
    void openSettings();
    HostSettingsView* settingsView() const { return settings_; }
    // Brings the window to the front (a second launch asked for it).
    void activate();

signals:
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void offerMapping();

    host::HostUi& state_;
    bool libraryAsked_ = false;  // the panes are filled once, when the window first shows
    FileDialogs& dialogs_;
    HostMainScreen* screen_ = nullptr;
    QPointer<HostSettingsView> settings_;
    bool asking_ = false;
};

}  // namespace plindo::ui
