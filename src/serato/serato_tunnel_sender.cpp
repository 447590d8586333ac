#include "serato/serato_tunnel_sender.h"

#include "platform/checked.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace plindo::serato {

bool SeratoTunnelSender::step(double ts, double omega, const Tunables& t) {
    if (std::fabs(omega) < t.restOmega) {
        if (wire.stillSince == 0) {
            wire.stillSince = ts;
        } else if (ts - wire.stillSince > t.restLearn) {
            if (wire.biasN <= 99) {
                wire.biasN += 1;
                wire.bias += (omega - wire.bias) / static_cast<double>(wire.biasN);
            } else {
                wire.bias += (omega - wire.bias) * 0.002;
            }
        }
    } else {
        wire.stillSince = 0;
    }
    double r = omega - (wire.biasN >= t.biasUse ? wire.bias : 0);
    if (std::fabs(r) < t.deadband) r = 0;

    const auto out = wire.step(ts, r, ts);
    if (!out) return false;
    // An angle that no longer fits a count makes no tick rather than a wrong one.
    const auto cum = platform::checkedRound<int64_t>(out->angle / (-2 * std::numbers::pi) * ticksPerRev);
    if (!cum) return false;
    seq += 1;
    const std::size_t keep = std::clamp<std::size_t>(t.ringKeep, 1, kRingCapacity);
    while (ring.size() >= keep) ring.popFront();
    ring.push(Tick{seq, *cum, ts, true});
    return true;
}

SeratoTunnelSender::Report SeratoTunnelSender::run(const Tunables& t) {
    std::vector<std::string> fail;
    SeratoTunnelSender sender;
    sender.epoch = 7;
    sender.ticksPerRev = 36000;
    motion::SeratoTunnel tun(t.tunnel);

    bool delivered = false;
    int64_t count = 0;
    int64_t sum = 0;
    double ts = 1.0;
    for (int i = 0; i < 400; ++i, ts += 0.01) {
        double omega = 0;
        if (i <= 299) omega = (i % 50 < 25) ? -3.490658503988659 : 1.7453292519943295;
        if (!sender.step(ts, omega, t)) continue;

        const bool lost = i % 7 == 3 || (i >= 101 && i <= 103);
        if (lost) {
            if (!delivered) continue;
            if (const auto o = tun.next()) {
                ++count;
                sum += o->delta;
                if (!o->guessed) fail.push_back("Ausfall ohne Raten");
            }
            continue;
        }
        tun.ingest(std::span<const Tick>(sender.ring.data(), sender.ring.size()));
        if (!delivered) {
            delivered = true;
            sum = sender.ring.front().cum;
        }
        while (tun.nextSeq() && tun.newestSeen() - *tun.nextSeq() + 1 > 0) {
            const auto o = tun.next();
            ++count;
            sum += o->delta;
        }
    }
    for (int i = 0; i < 20; ++i)
        if (const auto o = tun.next()) sum += o->delta;

    if (count <= 299) fail.push_back("zu wenig Ausgaben " + std::to_string(count));
    if (sum != sender.total())
        fail.push_back("sender->tunnel Summe " + std::to_string(sum) + " != " + std::to_string(sender.total()));
    if (sender.total() != 0 && sender.ring.size() != 10)
        fail.push_back("fenster " + std::to_string(sender.ring.size()));
    return Report{count, sum, sender.total(), std::move(fail)};
}

}  // namespace plindo::serato
