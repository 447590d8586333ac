#include "serato/serato_deck_return.h"

#include <cstdio>

namespace plindo::serato {

double SeratoDeckReturn::observe(double sec, double wall, const Limits& lim) {
    if (std::isfinite(lastSec) && lastWall > 0) {
        const double dt = wall - lastWall;
        auto reset = [&] {
            tapRate = 0;
            plausible = 0;
        };
        if (dt >= lim.resetGap) {
            reset();
        } else if (dt > lim.minGap && dt < lim.resetGap) {
            const double r = (sec - lastSec) / dt;
            if (std::fabs(r) >= lim.minRate && std::fabs(r) <= lim.maxRate &&
                (plausible == 0 || std::fabs(r - tapRate) < lim.agree)) {
                ++plausible;
                tapRate = plausible == 1 ? r : lim.keep * tapRate + (1 - lim.keep) * r;
            } else {
                reset();
            }
        }
    }
    lastSec = sec;
    lastWall = wall;
    return plausible >= 2 ? tapRate : 0;
}

SeratoDeckReturn::CueResult SeratoDeckReturn::setCue(int slot, bool on) {
    if (slot < 0 || slot > 7) return {};
    const auto i = static_cast<std::size_t>(slot);
    if (on && !cueSet[i] && std::isfinite(lastSec)) cueSec[i] = lastSec;
    cueSet[i] = on;
    return {on, cueSec[i], cueHex[i]};
}

std::vector<std::string> SeratoDeckReturn::selfTest(const Limits& lim) {
    std::vector<std::string> fail;
    SeratoDeckReturn d;
    std::vector<double> rates;
    for (int i = 0; i < 10; ++i) rates.push_back(d.observe(10.0 + i * 0.025, 100.0 + i * 0.025, lim));
    if (rates[0] != 0 || rates[1] != 0 || std::fabs(rates[9] - 1.0) > 1e-6) {
        std::string s = "[";
        char buf[48];
        for (std::size_t i = 0; i < rates.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%s%.9g", i ? ", " : "", rates[i]);
            s += buf;
        }
        fail.push_back("rate " + s + "]");
    }
    const auto cue = d.setCue(2, true);
    if (!cue.set || std::fabs(cue.sec - 10.225) > 1e-9) fail.push_back("cue 0917 time");
    d.cueHex[2] = "#FF0000";
    if (!d.cueSet[2]) fail.push_back("cue color keeps set");
    return fail;
}

}  // namespace plindo::serato
