#pragma once
// The hidden diagnostics sheet: raw capture of the DJ application's return data, the diagnostics view's
// unlock for this run, the STATO choice and per deck the buttons that switch its column to the diagnostics
// view and back. The main screen raises it with the controller's `showSecret`; closing it by any means writes
// that back to false.
#include "ui/kit/frame_clock.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

// The process-wide capture switch and what it wrote; tests put a fake in its place.
struct CaptureAccess {
    std::function<bool()> enabled;
    std::function<void(bool)> setEnabled;  // off also closes the capture file
    std::function<std::string()> path;     // empty until a file was opened
    std::function<int64_t()> count;

    static CaptureAccess process();
};

class HostSecretSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int kWidth = 380;

    HostSecretSheet(host::HostUi& host, QWidget* parent, CaptureAccess capture = CaptureAccess::process());

    bool stato() const;
    bool capture() const;
    // The capture status line; empty while it is hidden.
    QString captureStatus() const;
    QCheckBox* captureSwitch() const { return capture_; }
    QCheckBox* unlockSwitch() const { return unlock_; }
    QCheckBox* statoSwitch() const { return stato_; }
    QPushButton* deckButton(int deck, bool on) const;
    QWidget* deckRow(int deck) const;
    QPushButton* doneButton() const { return done_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshStatus();
    void refreshUnlocked();

    host::HostUi& host_;
    CaptureAccess access_;
    QCheckBox* capture_ = nullptr;
    QLabel* status_ = nullptr;
    QCheckBox* unlock_ = nullptr;
    QCheckBox* stato_ = nullptr;
    std::array<QWidget*, 2> rows_{};
    std::array<std::array<QPushButton*, 2>, 2> buttons_{};  // [deck - 1][on]
    QPushButton* done_ = nullptr;
    double lastRefresh_ = 0;
    bool closed_ = false;
    FrameClock::Subscription frames_;
};

}  // namespace plindo::ui
