#include "link/orv_remote_link.h"

#include "platform/checked.h"

namespace plindo::link {

namespace {

// A number, or 0 for a text (the optional tail of the records).
double numberOrZero(const OSCArg& a) { return a.doubleValue().value_or(0.0); }

// Flag: the number truncated and compared with 1; a text counts 0. False when the number does not fit.
bool readFlag(const OSCArg& a, bool& out) {
    const auto v = platform::checkedInt64(numberOrZero(a));
    if (!v) return false;
    out = *v == 1;
    return true;
}

bool readInt(const OSCArg& a, int& out) {
    const auto v = platform::checkedInt(numberOrZero(a));
    if (!v) return false;
    out = *v;
    return true;
}

bool halfFlag(const OSCArg& a) { return numberOrZero(a) > 0.5; }

}  // namespace

std::optional<OrvRemoteLink::IMUSample> OrvRemoteLink::readIMU(std::span<const OSCArg> args) {
    if (args.size() < 14) return std::nullopt;
    IMUSample s;
    double* fields[] = {&s.ts, &s.wx, &s.wy, &s.wz, &s.dmTs, &s.dmWz, &s.yaw,
                        &s.ax, &s.ay, &s.az, &s.gx, &s.gy, &s.gz, &s.grip, &s.hostSynth};
    const size_t n = args.size() < 16 ? args.size() : 16;
    for (size_t k = 1; k < n; ++k) *fields[k - 1] = numberOrZero(args[k]);
    return s;
}

std::optional<OrvRemoteLink::RawMirror> OrvRemoteLink::readRaw(std::span<const OSCArg> args) {
    RawMirror r;
    if (!readRaw(args, r)) return std::nullopt;
    return r;
}

bool OrvRemoteLink::readRaw(std::span<const OSCArg> a, RawMirror& r) {
    const size_t n = a.size();
    if (n < 6) return false;
    // Start from the defaults but keep the texts' storage, so a warm record is refilled without allocating.
    std::string calib = std::move(r.calibStamp), bridge = std::move(r.bridgeMode);
    r = RawMirror{};
    r.calibStamp = std::move(calib);
    r.bridgeMode = std::move(bridge);
    r.calibStamp.clear();
    r.bridgeMode.clear();
    // Required head: a text here drops the record.
    double* head[] = {&r.wz, &r.ax, &r.ay, &r.yaw, &r.ts};
    for (size_t k = 0; k < 5; ++k) {
        const auto v = a[1 + k].doubleValue();
        if (!v) return false;
        *head[k] = *v;
    }
    // Optional tail: each group is read only when the message is long enough, else it keeps its default.
    if (n >= 9) {
        r.rotorW = numberOrZero(a[6]);
        r.rotorAmp = numberOrZero(a[7]);
        if (!readFlag(a[8], r.rotorValid)) return false;
    }
    if (n >= 18) {
        r.offX = numberOrZero(a[9]);
        r.offY = numberOrZero(a[10]);
        if (!readInt(a[11], r.placeFlags)) return false;
        double* f[] = {&r.gx, &r.gy, &r.gz, &r.planeDevDeg, &r.rotorPhase, &r.fieldAC};
        for (size_t k = 0; k < 6; ++k) *f[k] = numberOrZero(a[12 + k]);
    }
    if (n >= 30) {
        double* f[] = {&r.latchX, &r.latchY, &r.latchWhy, &r.slideWhy, &r.boundX, &r.boundY,
                       &r.boundLeak, &r.qState, &r.axisX, &r.axisY, &r.axisZ, &r.northAlpha};
        for (size_t k = 0; k < 12; ++k) *f[k] = numberOrZero(a[18 + k]);
    }
    if (n >= 32) {
        r.northTauMs = numberOrZero(a[30]);
        if (auto s = a[31].stringValue()) r.calibStamp.assign(*s);
    }
    if (n >= 43) {
        r.sensorOffX = numberOrZero(a[32]);
        r.sensorOffY = numberOrZero(a[33]);
        if (!readFlag(a[34], r.sensorCalDone)) return false;
        if (!readInt(a[35], r.planeSign)) return false;
        double* f[] = {&r.fieldThresh, &r.fieldAcOn, &r.fieldAcOff, &r.fieldAcSpin,
                       &r.fieldDirThresh, &r.fieldDirOn, &r.fieldDirOff};
        for (size_t k = 0; k < 7; ++k) *f[k] = numberOrZero(a[36 + k]);
    }
    if (n >= 44 && !readFlag(a[43], r.northSuspect)) return false;
    if (n >= 46) {
        r.dispPos = numberOrZero(a[44]);
        r.hpAge = numberOrZero(a[45]);
    }
    if (n >= 47) r.sensorPos = numberOrZero(a[46]);
    if (n >= 48) r.hpCount = numberOrZero(a[47]);
    if (n >= 49) r.settleMs = numberOrZero(a[48]);
    if (n >= 50) r.zoom = numberOrZero(a[49]);
    if (n >= 51) r.yawNoiseDeg = numberOrZero(a[50]);
    if (n >= 53) {
        if (auto s = a[51].stringValue()) r.bridgeMode.assign(*s);
        if (!readFlag(a[52], r.bridgeMuted)) return false;
    }
    if (n >= 54) r.twistDeg = numberOrZero(a[53]);
    if (n >= 55) r.zoomAuto = halfFlag(a[54]);
    if (n >= 56) r.scaleK = numberOrZero(a[55]);
    if (n >= 58) {
        r.synthOn = halfFlag(a[56]);
        r.synthOmega = numberOrZero(a[57]);
    }
    return true;
}

}  // namespace plindo::link
