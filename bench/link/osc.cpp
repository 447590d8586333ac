// Decode + dispatch of the three busiest phone messages through the server's datagram entry point, our decode
// alone, and liblo's decode (lo_message_deserialise) of the same bytes in the same run.
#include "link/orv_server.h"

#include <benchmark/benchmark.h>

#ifdef PLINDO_HAVE_LIBLO
#include <lo/lo_lowlevel.h>
#endif

#include <cstring>

using namespace plindo;
using namespace plindo::link;

namespace {

class NullSink final : public OrvServer::Sink {
public:
    void send(const OrvServer::Endpoint&, std::span<const uint8_t>) override {}
};

std::vector<uint8_t> frameBytes() {
    // deck, path, pos, rate, then 8 (angle, ts) pairs: 4 + 16 arguments, floats as a phone sends them.
    std::vector<OSCValue> args{OSCValue::int32(1), OSCValue::string("/Music/Artist - Title (Extended Mix).mp3"),
                               OSCValue::float64(93.25), OSCValue::float64(1.002)};
    for (int k = 0; k < 8; ++k) {
        args.push_back(OSCValue::float64(-0.0123 * k));
        args.push_back(OSCValue::float64(5012.001 + 0.002 * k));
    }
    return OSCMessage::encode("/orv/frame", args);
}

std::vector<uint8_t> tunBytes() {
    // deck, value, n = 10, then 10 ticks of 4 numbers: 3 + 40 arguments.
    std::vector<OSCValue> args{OSCValue::int32(1), OSCValue::int32(77), OSCValue::int32(10)};
    for (int k = 0; k < 10; ++k) {
        args.push_back(OSCValue::int32(1000 + k));
        args.push_back(OSCValue::float64(36000.0 * k / 100.0));
        args.push_back(OSCValue::float64(5012.001 + 0.002 * k));
        args.push_back(OSCValue::int32(1));
    }
    return OSCMessage::encode("/orv/tun", args);
}

std::vector<uint8_t> rawBytes() {
    // The full raw mirror: deck and 57 fields, two of them texts.
    std::vector<OSCValue> args{OSCValue::int32(1)};
    for (int k = 1; k <= 57; ++k) {
        if (k == 31) args.push_back(OSCValue::string("2026-12-01T10:00"));
        else if (k == 51) args.push_back(OSCValue::string("jog"));
        else args.push_back(OSCValue::float32(0.5f * static_cast<float>(k)));
    }
    return OSCMessage::encode("/orv/raw", args);
}

struct Rig {
    platform::FakeClock clock{1000.0};
    platform::InlineExecutor main;
    NullSink sink;
    OrvServer server{OrvServer::Deps{.main = main, .clock = clock, .interfaces = {}, .sink = &sink}};
    OrvServer::Origin from{asio::ip::udp::endpoint(asio::ip::make_address_v4("192.168.1.20"), 50000),
                           asio::ip::make_address_v4("192.168.1.10")};
    double sink_ = 0;
    Rig() {
        server.onFrame = [this](int, std::string_view, double pos, double, std::span<const OrvServer::FrameSample> s) {
            sink_ += pos + static_cast<double>(s.size());
        };
        server.onTunnel = [this](int, int32_t, std::span<const OrvServer::Tick> t) { sink_ += static_cast<double>(t.size()); };
        server.onRaw = [this](int, const OrvRemoteLink::RawMirror& r) { sink_ += r.wz; };
    }
};

void dispatch(benchmark::State& state, const std::vector<uint8_t>& bytes) {
    Rig rig;
    for (auto _ : state) {
        rig.server.handleDatagram(bytes.data(), bytes.size(), rig.from, rig.clock.now());
        benchmark::DoNotOptimize(rig.sink_);
    }
    state.SetItemsProcessed(state.iterations());
}

void decodeOnly(benchmark::State& state, const std::vector<uint8_t>& bytes) {
    OSCDecoder decoder;
    size_t args = 0;
    for (auto _ : state) {
        decoder.forEachMessage(bytes.data(), bytes.size(), [&](const OSCMessageView& m) { args += m.args.size(); });
        benchmark::DoNotOptimize(args);
    }
    state.SetItemsProcessed(state.iterations());
}

#ifdef PLINDO_HAVE_LIBLO
void liblo(benchmark::State& state, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> buf = bytes;
    for (auto _ : state) {
        int result = 0;
        lo_message m = lo_message_deserialise(buf.data(), buf.size(), &result);
        benchmark::DoNotOptimize(m);
        if (m) lo_message_free(m);
    }
    if (buf != bytes) state.SkipWithError("liblo changed its input");
    state.SetItemsProcessed(state.iterations());
}
#endif

const std::vector<uint8_t> kFrame = frameBytes();
const std::vector<uint8_t> kTun = tunBytes();
const std::vector<uint8_t> kRaw = rawBytes();

}  // namespace

BENCHMARK_CAPTURE(dispatch, frame, kFrame);
BENCHMARK_CAPTURE(dispatch, tun, kTun);
BENCHMARK_CAPTURE(dispatch, raw, kRaw);
BENCHMARK_CAPTURE(decodeOnly, frame, kFrame);
BENCHMARK_CAPTURE(decodeOnly, tun, kTun);
BENCHMARK_CAPTURE(decodeOnly, raw, kRaw);
#ifdef PLINDO_HAVE_LIBLO
BENCHMARK_CAPTURE(liblo, frame, kFrame);
BENCHMARK_CAPTURE(liblo, tun, kTun);
BENCHMARK_CAPTURE(liblo, raw, kRaw);
#endif
