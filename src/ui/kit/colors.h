#pragma once
// The window's colours: the two deck colours, the accent, the named system colours in their dark-appearance
// values, and the label hierarchy (white at falling opacity). Views apply their own opacity on top.
#include <QColor>

namespace plindo::ui::colors {

// Deck 2 is amber, every other deck number violet.
QColor deck(int deck);

QColor accent();  // the system blue
QColor red();
QColor orange();
QColor yellow();
QColor green();
QColor mint();
QColor teal();
QColor cyan();
QColor blue();
QColor indigo();
QColor purple();
QColor pink();
QColor brown();
QColor gray();

QColor primary();     // white
QColor secondary();   // white at 0.55
QColor tertiary();    // white at 0.25
QColor quaternary();  // white at 0.1

QColor windowBackground();
QColor controlBackground();

// `c` with its alpha multiplied by `opacity` (0...1).
QColor withOpacity(QColor c, double opacity);

}  // namespace plindo::ui::colors
