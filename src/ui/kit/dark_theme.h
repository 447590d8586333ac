#pragma once
// The window is dark whatever the desktop's setting: Fusion with a dark palette and the body font.
#include <QPalette>

class QApplication;

namespace plindo::ui {

QPalette darkPalette();
// Sets the Fusion style, the dark palette and the body font on the application.
void applyDarkTheme(QApplication& app);

}  // namespace plindo::ui
