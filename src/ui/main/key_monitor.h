#pragma once
// Keyboard control of the decks and library panes with no control focused: an application event filter on
// key presses, alive as long as the object. It acts only on keys sent to the windows `owns` accepts (the
// main window and its sheets), never while text is being edited or Ctrl or Meta is held. The handler runs
// once per key press; a key it uses is swallowed. A Return or Enter it leaves goes to `onUnusedReturn`.
#include "ui/main/key_stroke.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

namespace plindo::ui {

class KeyMonitor : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<bool(const KeyStroke&)>;
    using Owns = std::function<bool(const QWidget* window)>;

    KeyMonitor(Owns owns, Handler onKey, QObject* parent = nullptr);
    ~KeyMonitor() override;

    // Swallows the key when it returns true.
    void setUnusedReturnHook(std::function<bool()> hook) { onUnusedReturn_ = std::move(hook); }

    // Whether the focused widget takes typed text (line edits, text views, editable spin and combo boxes).
    static bool editingText(const QWidget* focus);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Owns owns_;
    Handler onKey_;
    std::function<bool()> onUnusedReturn_;
    // The key press being passed up the parent chain after the handler left it (Qt filters each step again).
    const QEvent* passing_ = nullptr;
    QPointer<QWidget> passedAt_;
};

}  // namespace plindo::ui
