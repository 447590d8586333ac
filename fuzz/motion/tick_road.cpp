// Arbitrary tick batches, samples and drain times against the tunnel and the upsampler: nothing may crash,
// overflow, hang, or leave more received ticks waiting than the tunnel can hold.
#include "motion/serato_tunnel.h"
#include "motion/serato_upsampler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using plindo::motion::SeratoTunnel;
using plindo::motion::SeratoUpsampler;

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    template <typename T>
    bool take(T& v) {
        if (at + sizeof v > size) return false;
        std::memcpy(&v, data + at, sizeof v);
        at += sizeof v;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    SeratoTunnel tun;
    SeratoUpsampler up;
    uint8_t op = 0;
    while (in.take(op)) {
        switch (op % 4) {
            case 0: {
                uint8_t n = 0;
                if (!in.take(n)) break;
                SeratoTunnel::Tick batch[16];
                size_t got = 0;
                for (int k = 0; k < n % 17 && got < 16; ++k) {
                    SeratoTunnel::Tick t{};
                    if (!in.take(t.seq) || !in.take(t.cum) || !in.take(t.stamp)) break;
                    batch[got++] = t;
                }
                tun.ingest(std::span<const SeratoTunnel::Tick>(batch, got));
                if (tun.pending() > SeratoTunnel::kWindow) std::abort();
                break;
            }
            case 1: {
                uint8_t n = 0;
                in.take(n);
                for (int k = 0; k < n; ++k) tun.next();
                break;
            }
            case 2: {
                double ts = 0, cum = 0;
                if (in.take(ts) && in.take(cum)) up.push(ts, cum);
                break;
            }
            default: {
                double until = 0;
                if (in.take(until) && up.drain(until).size() > SeratoUpsampler::kMaxDrain) std::abort();
                break;
            }
        }
    }
    return 0;
}
