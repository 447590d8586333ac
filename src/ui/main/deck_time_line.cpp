#include "ui/main/deck_time_line.h"

#include "ui/kit/printf_text.h"

#include <cmath>
#include <cstdint>

namespace plindo::ui {

namespace {
// Beyond this the value is no time a deck can show, and converting it to an integer would be undefined.
constexpr double kClockLimitSec = 1e9;
}  // namespace

std::string clockText(double x) {
    if (!std::isfinite(x) || std::abs(x) > kClockLimitSec) return "0:00.0";
    const int64_t w = static_cast<int64_t>(x);
    const int64_t m = w / 60;
    const int64_t s = w - 60 * m;
    const int64_t t = static_cast<int64_t>(10 * x) % 10;
    return printfText("%lld:%02lld.%lld", (long long)m, (long long)s, (long long)t);
}

std::string deckTimeLine(const host::DeckInfo& d) {
    const double pos = (std::isnan(d.posSec) || d.posSec < 0) ? 0.0 : d.posSec;
    std::string line = clockText(pos);
    if (d.durationSec > 0) line += " / " + clockText(d.durationSec);
    if (d.remoteFresh) {
        line += printfText("  %+.1f %%", (d.rate - 1) * 100);
        line += printfText("  wR%+.2f ang%lld/%lld rev%+.2f tsBk%lld", d.wireRate, (long long)d.angleAdvN,
                           (long long)d.frameN, d.angNetRev, (long long)d.tsBackN);
    }
    return line;
}

}  // namespace plindo::ui
