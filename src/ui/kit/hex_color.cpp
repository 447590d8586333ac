#include "ui/kit/hex_color.h"

#include "ui/kit/colors.h"

namespace plindo::ui {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

QColor colorFromHex(std::string_view text) {
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    if (text.size() != 6) return colors::yellow();
    int rgb[3];
    for (int i = 0; i < 3; ++i) {
        const int hi = hexDigit(text[2 * i]), lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return colors::yellow();
        rgb[i] = hi * 16 + lo;
    }
    return {rgb[0], rgb[1], rgb[2]};
}

}  // namespace plindo::ui
