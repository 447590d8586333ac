#include "serato/serato_platter_wire.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace plindo::serato {

std::optional<SeratoPlatterWire::Output> SeratoPlatterWire::step(double ts, double omega, double now,
                                                                 const Limits& lim) {
    if (!std::isfinite(ts) || !std::isfinite(omega)) return std::nullopt;
    if (lastTs > 0) {
        if (ts <= lastTs && lastTs - ts < lim.backMax) return std::nullopt;
        if (ts > lastTs && ts - lastTs < lim.gapMax) angle += (ts - lastTs) * omega;
    }
    lastTs = ts;
    Output out;
    out.angle = angle;
    out.ts = ts;
    out.omega = omega;
    out.rate = omega * -1.8 / (2 * std::numbers::pi);

    const double rate = out.rate;
    if (std::fabs(rate) >= lim.steadyMinRate) {
        const double tol = std::fabs(steadyRef) <= lim.steadyMinRate ? lim.steadyTolStill
                                                                     : lim.steadyTolShare * std::fabs(steadyRef);
        if (std::fabs(rate - steadyRef) <= tol) {
            if (std::fabs(angle - steadyAngle0) >= 2 * std::numbers::pi) {
                steadyAngle0 = angle;
                out.steadyRate = rate;
                out.settling = false;
            }
        } else {
            steadyRef = rate;
            steadyAngle0 = angle;
        }
    } else {
        steadyRef = rate;
        steadyAngle0 = angle;
    }

    if (std::fabs(omega) >= lim.onOmega) {
        if (onSince == 0) onSince = now;
        if (now - onSince >= lim.onHold) {
            wasRunning = true;
            if (platterPlay != true) {
                platterPlay = true;
                out.playEdge = true;
            }
        }
    } else {
        onSince = 0;
        if (omega == 0 && wasRunning && platterPlay != false) {
            wasRunning = false;
            platterPlay = false;
            out.playEdge = false;
        }
    }
    return out;
}

namespace {

std::string number(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string edgesText(const std::vector<bool>& edges) {
    std::string s = "[";
    for (std::size_t i = 0; i < edges.size(); ++i) s += (i ? ", " : "") + std::string(edges[i] ? "true" : "false");
    return s + "]";
}

}  // namespace

std::vector<std::string> SeratoPlatterWire::selfTest(const Limits& lim) {
    std::vector<std::string> fail;
    const double omega = -2 * std::numbers::pi / 1.8;  // rate 1.0

    SeratoPlatterWire w;
    std::vector<bool> edges;
    std::vector<double> steady;
    double ts = 1.0;
    for (int i = 0; i < 300; ++i) {
        ts = 1.0 + i * 0.01;
        if (auto o = w.step(ts, omega, ts, lim)) {
            if (o->playEdge) edges.push_back(*o->playEdge);
            if (o->steadyRate != 0) steady.push_back(o->steadyRate);
        }
    }
    if (edges.size() != 1 || !edges[0]) fail.push_back("play on edge " + edgesText(edges));
    if (steady.empty() || std::fabs(steady[0] - 1.0) > 1e-6) {
        std::string s = "[";
        for (std::size_t i = 0; i < steady.size(); ++i) s += (i ? ", " : "") + number(steady[i]);
        fail.push_back("pitch 0978 " + s + "]");
    }
    const double expected = -(2 * std::numbers::pi / 1.8) * 2.99;
    if (std::fabs(w.angle - expected) > 1e-6) fail.push_back("angle " + number(w.angle));

    ts += 0.01;
    const auto off = w.step(ts, 0.0, ts, lim);
    if (!off || off->playEdge != false) fail.push_back("play off edge");
    if (w.step(ts - 0.5, omega, ts, lim)) fail.push_back("reorder accepted");

    SeratoPlatterWire shortPush;
    std::vector<bool> shortEdges;
    for (int i = 0; i < 10; ++i) {
        const double t = 1.0 + i * 0.01;
        if (auto o = shortPush.step(t, omega, t, lim); o && o->playEdge) shortEdges.push_back(*o->playEdge);
    }
    if (!shortEdges.empty()) fail.push_back("short push started " + edgesText(shortEdges));
    return fail;
}

}  // namespace plindo::serato
