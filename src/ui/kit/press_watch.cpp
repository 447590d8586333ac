#include "ui/kit/press_watch.h"

#include <QApplication>
#include <QEvent>

namespace plindo::ui {

PressWatch::PressWatch(QWidget* area, std::function<void()> onPress)
    : QObject(area), area_(area), onPress_(std::move(onPress)) {
    qApp->installEventFilter(this);
}

PressWatch::~PressWatch() {
    if (qApp) qApp->removeEventFilter(this);
}

bool PressWatch::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonRelease) seen_ = nullptr;
    if ((type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick) || !watched->isWidgetType() ||
        !area_)
        return false;
    auto* w = static_cast<QWidget*>(watched);
    if (!area_->isAncestorOf(w)) return false;  // also true for the area itself
    const bool climbing = event == seen_ && seenAt_ && w != seenAt_ && w->isAncestorOf(seenAt_);
    seen_ = event;
    seenAt_ = w;
    if (!climbing && onPress_) onPress_();
    return false;
}

}  // namespace plindo::ui
