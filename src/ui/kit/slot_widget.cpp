#include "ui/kit/slot_widget.h"

#include <QVBoxLayout>
#include <QWidget>

namespace plindo::ui {

QWidget* makeSlotWidget(const char* objectName) {
    auto* w = new QWidget;
    w->setObjectName(objectName);
    auto* l = new QVBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(0);
    return w;
}

}  // namespace plindo::ui
