#pragma once
// Small helpers for the readouts' labels: a font at another weight and a label's text colour.
#include <QColor>
#include <QFont>
#include <QString>

class QLabel;

namespace plindo::ui {

QFont withWeight(QFont font, QFont::Weight weight);
void setTextColor(QLabel* label, const QColor& color);
QLabel* styledLabel(const QFont& font, const QColor& color, const QString& text = {});

}  // namespace plindo::ui
