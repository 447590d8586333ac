#pragma once
// An empty named container with a zero-margin vertical layout, where a view is put in later.
class QWidget;

namespace plindo::ui {

QWidget* makeSlotWidget(const char* objectName);

}  // namespace plindo::ui
