#include "ui/main/host_main_window.h"

#include "ui/main/file_dialogs.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/host_secret_sheet.h"
#include "ui/main/host_settings_view.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenuBar>
#include <QShowEvent>

namespace plindo::ui {

QSize HostMainWindow::startSize(QSize wanted, QSize available) {
    const QSize least(HostMainScreen::kWindowMinWidth, HostMainScreen::kWindowMinHeight);
    if (!available.isValid() || available.isEmpty()) return wanted;
    return wanted.boundedTo(available).expandedTo(least);
}

HostMainWindow::HostMainWindow(host::HostUi& state, FileDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), state_(state), dialogs_(dialogs) {
    setWindowTitle("Plindo");
    screen_ = new HostMainScreen(state_);
    setCentralWidget(screen_);
    setMinimumSize(HostMainScreen::kWindowMinWidth, HostMainScreen::kWindowMinHeight);
    screen_->setSecretSheet([this](QWidget* parent) { return new HostSecretSheet(state_, parent); });

    QMenu* menu = menuBar()->addMenu("Plindo");
    QAction* settings = menu->addAction("Settings\u2026");
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setMenuRole(QAction::PreferencesRole);
    connect(settings, &QAction::triggered, this, &HostMainWindow::openSettings);
    QAction* quit = menu->addAction("Quit Plindo");
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &HostMainWindow::quitRequested);

    // Asked after the signal has returned, so the modal question never runs inside the controller's turn.
    connect(&state_, &host::HostUi::mappingOfferChanged, this, [this] {
        QMetaObject::invokeMethod(this, &HostMainWindow::offerMapping, Qt::QueuedConnection);
    });
}

void HostMainWindow::openSettings() {
    if (!settings_) {
        settings_ = new HostSettingsView(state_, dialogs_);
        settings_->setAttribute(Qt::WA_DeleteOnClose);
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

void HostMainWindow::activate() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

void HostMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (event->spontaneous()) return;
    state_.start();
    // A DJ opening the window expects the library in the panes, not an empty pane asking for a retry.
    if (!libraryAsked_) {
        libraryAsked_ = true;
        state_.reloadLibrary();
    }
}

void HostMainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    emit quitRequested();
}

void HostMainWindow::offerMapping() {
    if (!state_.mappingOffer() || asking_) return;
    asking_ = true;
    const bool yes = dialogs_.ask(this, "Serato DJ Pro has no Plindo.xml mapping yet. Save it now?");
    state_.writeMappingOffer(false);
    asking_ = false;
    if (yes) HostSettingsView::saveSeratoMapping(this, state_, dialogs_);
}

}  // namespace plindo::ui
