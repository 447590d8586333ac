#include "ui/kit/dark_theme.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"

#include <QApplication>
#include <QStyleFactory>

namespace plindo::ui {

QPalette darkPalette() {
    QPalette p;
    const QColor window = colors::windowBackground();
    const QColor base = QColor(22, 22, 22);
    const QColor button = colors::controlBackground();
    const QColor text = colors::primary();
    const QColor dim = QColor(128, 128, 128);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(36, 36, 36));
    p.setColor(QPalette::ToolTipBase, QColor(50, 50, 50));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, dim);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, colors::red());
    p.setColor(QPalette::Light, QColor(70, 70, 70));
    p.setColor(QPalette::Midlight, QColor(55, 55, 55));
    p.setColor(QPalette::Mid, QColor(45, 45, 45));
    p.setColor(QPalette::Dark, QColor(15, 15, 15));
    p.setColor(QPalette::Shadow, QColor(0, 0, 0));
    p.setColor(QPalette::Highlight, colors::accent());
    p.setColor(QPalette::HighlightedText, text);
    p.setColor(QPalette::Link, colors::accent());
    p.setColor(QPalette::LinkVisited, colors::purple());
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, dim);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(60, 60, 60));
    return p;
}

void applyDarkTheme(QApplication& app) {
    app.setStyle(QStyleFactory::create("Fusion"));
    app.setPalette(darkPalette());
    app.setFont(font(TextStyle::body));
}

}  // namespace plindo::ui
