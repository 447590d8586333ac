#include "ui/kit/label_style.h"

#include <QLabel>

namespace plindo::ui {

QFont withWeight(QFont font, QFont::Weight weight) {
    font.setWeight(weight);
    return font;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
}

QLabel* styledLabel(const QFont& font, const QColor& color, const QString& text) {
    auto* l = new QLabel(text);
    l->setFont(font);
    setTextColor(l, color);
    return l;
}

}  // namespace plindo::ui
