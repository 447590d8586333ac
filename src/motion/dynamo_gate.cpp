#include "motion/dynamo_gate.h"

#include "platform/utf8_repair.h"

#include <algorithm>
#include <bit>
#include <string_view>

namespace plindo::motion::DynamoGate {

namespace {

constexpr std::uint32_t kMagic = 0x44594E31;  // "1NYD" on the wire, "DYN1" read little-endian

// Reads little-endian fields in order. The first read past the end marks the reader failed; every later read
// then gives zero, and the caller checks `ok()` before it trusts anything or loops over a count.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> d) : data_(d) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }

    std::uint8_t u8() {
        if (!take(1)) return 0;
        return data_[pos_ - 1];
    }
    std::uint16_t u16() {
        if (!take(2)) return 0;
        return static_cast<std::uint16_t>(data_[pos_ - 2] | (data_[pos_ - 1] << 8));
    }
    std::uint32_t u32() {
        if (!take(4)) return 0;
        const auto* p = &data_[pos_ - 4];
        return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
               (std::uint32_t{p[3]} << 24);
    }
    double f32() { return static_cast<double>(std::bit_cast<float>(u32())); }
    bool flag() { return u8() == 1; }
    std::string str() {
        const size_t n = u8();
        if (!take(n)) return {};
        const auto* p = reinterpret_cast<const char*>(&data_[pos_ - n]);
        return platform::repairUtf8(std::string_view(p, n));
    }
    DynamoProbe::Tilt tilt() {
        DynamoProbe::Tilt t;
        t.dx = f32();
        t.dy = f32();
        t.deg = f32();
        t.conf = f32();
        return t;
    }

private:
    bool take(size_t n) {
        if (!ok_ || n > data_.size() - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    std::span<const std::uint8_t> data_;
    size_t pos_ = 0;
    bool ok_ = true;
};

bool bit(std::uint8_t bits, int n) { return (bits >> n) & 1; }

DynamoProbe::Source source(std::uint8_t v) {
    switch (v) {
        case 1: return DynamoProbe::Source::spin;
        case 2: return DynamoProbe::Source::push;
        default: return DynamoProbe::Source::none;
    }
}

DeviceOutline::Kind kind(std::uint8_t v) {
    return v <= 3 ? static_cast<DeviceOutline::Kind>(v) : DeviceOutline::Kind::phone;
}

// Reserves no more elements than the remaining bytes could hold, so a large count in a short record does
// not allocate on its word.
template <typename T>
void reserveFor(std::vector<T>& v, size_t count, size_t minElementBytes, const Reader& r) {
    v.reserve(std::min(count, r.remaining() / minElementBytes));
}

}  // namespace

std::optional<DynamoFrame> decode(std::span<const std::uint8_t> data, double now) {
    Reader r(data);
    if (r.u32() != kMagic || !r.ok()) return std::nullopt;

    DynamoFrame f;
    f.now = now;
    f.mode.turn = r.u8() == 1 ? Turn::stato : Turn::dynamo;
    f.mode.feed = r.u8() == 1 ? Feed::live : Feed::lgs;
    f.theta = r.f32();
    f.psiDeg = r.f32();
    f.dRhoCm = r.f32();
    f.tiltPlatter = r.tilt();
    f.tiltPhone = r.tilt();
    f.tiltWorld = r.tilt();
    f.chipX = r.f32();
    f.chipY = r.f32();
    f.anchorCm = r.f32();
    const std::uint8_t state = r.u8();
    f.anchorValid = bit(state, 0);
    f.latchValid = bit(state, 1);
    f.settling = bit(state, 2);
    f.beliefValid = bit(state, 3);
    f.spinning = bit(state, 4);
    f.liftNow = bit(state, 5);
    f.anchorHeld = bit(state, 6);
    const std::uint8_t scenario = r.u8();
    f.scOld = bit(scenario, 0);
    f.scCls = bit(scenario, 1);
    f.scHold = bit(scenario, 2);
    f.scOther = bit(scenario, 3);
    f.measDx = r.f32();
    f.measDy = r.f32();
    f.rateDeg = r.f32();
    f.windows = r.f32();
    f.perpNow = r.f32();
    f.headAxG = r.f32();
    f.headAyG = r.f32();
    f.omega = r.f32();
    f.alpha = r.f32();
    f.sigmaCm = r.f32();
    f.servedAngle = r.f32();
    f.cEstX = r.f32();
    f.cEstY = r.f32();
    f.cEstValid = r.flag();
    f.pvtX = r.f32();
    f.pvtY = r.f32();
    f.pvtResidCm = r.f32();
    f.pvtValid = r.flag();
    f.tiltGravDeg = r.f32();
    f.tiltGyroDeg = r.f32();
    f.wobbleG = r.f32();
    f.wobbleDeg = r.f32();
    f.lgsX = r.f32();
    f.lgsY = r.f32();
    f.lgsCond = r.f32();
    f.lgsResidG = r.f32();
    f.c20X = r.f32();
    f.c20Y = r.f32();
    const std::uint8_t fit = r.u8();
    f.lgsSeparated = bit(fit, 0);
    f.lgsValid = bit(fit, 1);
    f.c20Valid = bit(fit, 2);
    f.lgsCarries = bit(fit, 3);
    f.merPhaseDeg = r.f32();
    f.merAmpUT = r.f32();
    f.merHardUT = r.f32();
    f.merADeg = r.f32();
    f.merBDeg = r.f32();
    f.merValid = r.flag();
    f.accNowG = r.f32();
    f.accBodyG = r.f32();
    f.accWorldG = r.f32();
    f.accDropped = r.f32();
    f.accValid = r.flag();
    f.srcNow = source(r.u8());

    f.latchWhy = r.str();
    f.origin = r.str();

    f.outline.kind = kind(r.u8());
    f.outline.source = r.u8() == 0 ? DeviceOutline::Source::gemeldet : DeviceOutline::Source::unbekannt;
    f.outline.lengthCm = r.f32();
    f.outline.widthCm = r.f32();

    const size_t points = r.u8();
    if (!r.ok()) return std::nullopt;
    reserveFor(f.frame, points, 8, r);
    for (size_t i = 0; i < points && r.ok(); ++i) {
        DynamoFrame::Point p;
        p.x = r.f32();
        p.y = r.f32();
        f.frame.push_back(p);
    }

    if (r.u8() == 1) {
        DynamoProbe::Roots roots;
        roots.ax = r.f32();
        roots.ay = r.f32();
        roots.bx = r.f32();
        roots.by = r.f32();
        const std::uint8_t bits = r.u8();
        roots.two = bit(bits, 0);
        roots.provisional = bit(bits, 1);
        roots.arbitrary = bit(bits, 2);
        roots.conf = r.f32();
        f.roots = roots;
    }

    const size_t fired = r.u8();
    if (!r.ok()) return std::nullopt;
    reserveFor(f.fired, fired, 29, r);
    for (size_t i = 0; i < fired && r.ok(); ++i) {
        DynamoFrame::Fired e;
        e.t = now - r.f32();
        e.label = r.str();
        e.pdx = r.f32();
        e.pdy = r.f32();
        e.pdeg = r.f32();
        e.hdx = r.f32();
        e.hdy = r.f32();
        e.hdeg = r.f32();
        f.fired.push_back(std::move(e));
    }

    f.tailThinned = r.flag();
    const size_t marks = r.u16();
    if (!r.ok()) return std::nullopt;
    reserveFor(f.tail, marks, 18, r);
    for (size_t i = 0; i < marks && r.ok(); ++i) {
        DynamoFrame::Mark m;
        m.x = r.f32();
        m.y = r.f32();
        m.t = now - r.f32();
        m.da = r.f32();
        const std::uint8_t bits = r.u8();
        m.scratching = bit(bits, 0);
        m.lifted = bit(bits, 1);
        m.src = source(r.u8());
        f.tail.push_back(m);
    }

    if (!r.ok()) return std::nullopt;
    return f;
}

std::array<double, 3> paletteRGB(const Colour& colour) {
    static constexpr std::array<std::array<double, 3>, 6> kPalette{{
        {0.9, 0.1, 0.1},
        {0.1, 0.85, 0.3},
        {0.2, 0.4, 1.0},
        {0.95, 0.85, 0.15},
        {0.45, 0.45, 0.5},
        {0.2, 0.9, 1.0},
    }};
    if (colour.opacity == 1.0) {
        for (const auto& c : kPalette) {
            if (colour.red == c[0] && colour.green == c[1] && colour.blue == c[2]) return c;
        }
    }
    return {1.0, 1.0, 1.0};
}

}  // namespace plindo::motion::DynamoGate
