#include "ui/kit/text_styles.h"

namespace plindo::ui {

namespace {
constexpr const char* kSans = "DejaVu Sans";
constexpr const char* kMono = "DejaVu Sans Mono";

QFont make(bool mono, int px, QFont::Weight weight) {
    QFont f(mono ? kMono : kSans);
    f.setPixelSize(px);
    f.setWeight(weight);
    if (mono) f.setStyleHint(QFont::Monospace);
    return f;
}
}  // namespace

int pixelSize(TextStyle style) {
    switch (style) {
    case TextStyle::largeTitle: return 26;
    case TextStyle::title2: return 17;
    case TextStyle::title3: return 15;
    case TextStyle::headline: return 13;
    case TextStyle::body: return 13;
    case TextStyle::callout: return 12;
    case TextStyle::caption: return 10;
    case TextStyle::caption2: return 10;
    }
    return 13;
}

QFont font(TextStyle style) {
    return make(false, pixelSize(style), style == TextStyle::headline ? QFont::DemiBold : QFont::Normal);
}

QFont monoFont(TextStyle style) {
    return make(true, pixelSize(style), style == TextStyle::headline ? QFont::DemiBold : QFont::Normal);
}

QFont systemFont(int pixelSize, QFont::Weight weight) { return make(false, pixelSize, weight); }
QFont monoSystemFont(int pixelSize, QFont::Weight weight) { return make(true, pixelSize, weight); }

}  // namespace plindo::ui
