#include "host/self_tests.h"

#include "library/screen_wave_strip.h"
#include "link/shared_logo.h"
#include "motion/serato_tunnel.h"
#include "motion/serato_upsampler.h"
#include "platform/log.h"
#include "serato/latency_estimator.h"
#include "serato/rane_library_decoder.h"
#include "serato/serato_deck_return.h"
#include "serato/serato_platter_wire.h"
#include "serato/serato_return.h"
#include "serato/serato_tunnel_sender.h"

namespace plindo::host {

std::vector<std::string> runSelfTests() {
    std::vector<std::string> all;
    const auto add = [&all](std::vector<std::string> v) { all.insert(all.end(), v.begin(), v.end()); };
    add(motion::SeratoTunnel::selfTest());
    add(serato::SeratoTunnelSender::selfTest());
    add(motion::SeratoUpsampler::selfTest());
    add(serato::SeratoPlatterWire::selfTest());
    add(serato::SeratoDeckReturn::selfTest());
    add(serato::LatencyEstimator::selfTest());
    add(serato::SeratoReturn::selfTest());
    add(library::ScreenWaveStrip::columnsSelfTest());
    add(serato::RaneLibraryDecoder::selfTest());
    add(link::SharedLogo::selfTest());
    return all;
}

void runAndLogSelfTests() {
    const auto failures = runSelfTests();
    if (failures.empty()) return;
    std::string joined = "[";
    for (size_t i = 0; i < failures.size(); ++i) joined += (i ? ", \"" : "\"") + failures[i] + "\"";
    joined += "]";
    platform::logger("serato-in").error("SeratoReturn selftest FAILED: {}", joined);
}

}  // namespace plindo::host
