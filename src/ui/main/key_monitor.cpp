#include "ui/main/key_monitor.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace plindo::ui {

KeyMonitor::KeyMonitor(Owns owns, Handler onKey, QObject* parent)
    : QObject(parent), owns_(std::move(owns)), onKey_(std::move(onKey)) {
    qApp->installEventFilter(this);
}

KeyMonitor::~KeyMonitor() {
    if (qApp) qApp->removeEventFilter(this);
}

namespace {

// A modifier pressed alone is a key press here but no key of its own to the handler (it only changes others).
bool modifierOnly(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch: return true;
    default: return false;
    }
}

}  // namespace

bool KeyMonitor::editingText(const QWidget* w) {
    if (!w) return false;
    if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QTextEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w))
        return true;
    if (auto* spin = qobject_cast<const QAbstractSpinBox*>(w)) return !spin->isReadOnly();
    if (auto* combo = qobject_cast<const QComboBox*>(w)) return combo->isEditable();
    return false;
}

bool KeyMonitor::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    // Every key press comes after a shortcut override and before a release: a new press starts there.
    if (type == QEvent::ShortcutOverride || type == QEvent::KeyRelease) {
        passing_ = nullptr;
        return false;
    }
    if (type != QEvent::KeyPress || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);

    // An ignored press goes on to each parent, through this filter again: the handler has had it already.
    if (event == passing_ && passedAt_ && widget != passedAt_ && widget->isAncestorOf(passedAt_)) {
        passedAt_ = widget;
        return false;
    }
    passing_ = nullptr;

    if (!owns_ || !owns_(widget->window())) return false;
    if (editingText(QApplication::focusWidget())) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (modifierOnly(key->key()) || (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) return false;

    const KeyStroke stroke = translateKey(key->key(), key->modifiers(), key->text());
    bool used = onKey_ && onKey_(stroke);
    if (!used && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && onUnusedReturn_)
        used = onUnusedReturn_();
    if (used) return true;
    passing_ = event;
    passedAt_ = widget;
    return false;
}

}  // namespace plindo::ui
