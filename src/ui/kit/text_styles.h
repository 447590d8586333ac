#pragma once
// The window's text styles, sized in pixels so the layout does not move with the screen's dpi setting.
#include <QFont>

namespace plindo::ui {

enum class TextStyle { largeTitle, title2, title3, headline, body, callout, caption, caption2 };

// DejaVu Sans at the style's size and weight (headline is semibold).
QFont font(TextStyle style);
// The same size in DejaVu Sans Mono.
QFont monoFont(TextStyle style);
// A font of an explicit pixel size and weight, for the few labels that name one.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont monoSystemFont(int pixelSize, QFont::Weight weight = QFont::Normal);

int pixelSize(TextStyle style);

}  // namespace plindo::ui
