// Diagnosis only: single hand-made messages and the rate sweep, a timed series of platter messages of one
// form and step size on one deck, to see how the DJ application reacts to them.
#include "serato/serato_midi_out.h"

#include "platform/checked.h"
#include "platform/log.h"
#include "serato/serato_emit_messages.h"

#include <chrono>
#include <cmath>

namespace plindo::serato {

namespace {

spdlog::logger& log() { return platform::logger("serato-midi"); }

uint8_t channelOf(int deck) { return deck >= 2 ? 1 : 0; }
uint8_t lo7(int64_t v) { return static_cast<uint8_t>(v & 0x7F); }
uint8_t hi7(int64_t v) { return static_cast<uint8_t>((v >> 7) & 0x7F); }
uint8_t mod128(int64_t v) { return static_cast<uint8_t>(((v % 128) + 128) % 128); }

enum class Form { raw, withTime, twelve, pitchBendPosition, absolute, nineByte, plainCC, relative };

Form formOf(const SeratoMIDIOut::SweepParams& p) {
    if (p.raw) return Form::raw;
    if (p.withTime) return Form::withTime;
    if (p.twelve) return Form::twelve;
    if (p.pitchBendPosition) return Form::pitchBendPosition;
    if (p.absolute) return Form::absolute;
    if (p.nineByte) return Form::nineByte;
    if (p.plainCC) return Form::plainCC;
    return Form::relative;
}

}  // namespace

void SeratoMIDIOut::testCC(uint8_t cc, uint8_t value, int deck) {
    ensurePorts();
    const std::array<uint8_t, 3> msg{static_cast<uint8_t>(0xB0 | channelOf(deck)), cc, value};
    sendNow(msg);
    log().info("serato cc {} = {} Deck {}", cc, value, deck);
}

void SeratoMIDIOut::testSysex(std::span<const uint8_t> bytes) {
    ensurePorts();
    sendNow(bytes);
    log().info("serato sysex {} B", bytes.size());
}

void SeratoMIDIOut::testTrio(int deck, uint8_t time, uint8_t radian, uint8_t rate) {
    ensurePorts();
    const auto st = static_cast<uint8_t>(0xB0 | channelOf(deck));
    const std::array<uint8_t, 9> msg{st, 26, time, st, 16, radian, st, 24, rate};
    sendNow(msg);
    log().info("serato trio Deck {}: Zeit={} Radiant={} Rate={}", deck, time, radian, rate);
}

void SeratoMIDIOut::noteTap(uint8_t note, int deck) {
    ensurePorts();
    const SourceRef source = sourceIfUp();
    press(static_cast<uint8_t>(0x90 | channelOf(deck)), note, source);
    log().info("serato note {} an+aus Deck {}", note, deck);
}

nlohmann::ordered_json SeratoMIDIOut::sweep(const SweepParams& p) {
    auto error = [](const char* text) { return nlohmann::ordered_json{{"error", text}}; };
    if (p.deck != 1 && p.deck != 2) return error("deck");
    if (!(p.hz > 0) || p.hz > 2000 || !(p.dwell > 0) || p.plan.empty()) return error("hz/dwell/plan");
    const Form form = formOf(p);
    for (int64_t v : p.plan) {
        if (form == Form::twelve || form == Form::pitchBendPosition) {
            if (v < -2000000 || v > 2000000) return error("Rate zu gross");
        } else if (form == Form::raw) {
            if (v < 0 || v > 127) return error("roh: Wert ausserhalb 0…127");
        } else if (v < -63 || v > 63) {
            return error("Schritt > 63");
        }
    }
    const double secs = static_cast<double>(p.plan.size()) * p.dwell;
    if (secs > 600) return error("Sweep darf hoechstens 600 s dauern");
    bool idle = false;
    if (!sweepRunning_.compare_exchange_strong(idle, true)) return error("sweep laeuft schon");

    const int64_t msgsPerStep = std::max<int64_t>(1, std::llround(p.hz * p.dwell));
    ensurePorts();
    sweepQueue_.post([this, p, msgsPerStep] { runSweep(p, msgsPerStep); });

    return nlohmann::ordered_json{
        {"ok", true},
        {"deck", p.deck},
        {"plan", p.plan},
        {"hz", p.hz},
        {"dwell", p.dwell},
        {"msgsPerStep", msgsPerStep},
        {"secs", secs},
        {"raw", p.raw},
        {"withTime", p.withTime},
        {"twelve", p.twelve},
        {"twelveMode", p.twelveMode},
        {"twelveTimeFreq", s_.timeFreqByDeck[static_cast<std::size_t>(p.deck - 1)].load()},
        {"relForm", p.relForm},
        {"sign", p.sign},
        {"cc", p.cc},
    };
}

void SeratoMIDIOut::runSweep(SweepParams p, int64_t msgsPerStep) {
    const int deck = p.deck;
    const auto i = static_cast<std::size_t>(deck - 1);
    const uint8_t c = static_cast<uint8_t>(deck - 1);
    const Form form = formOf(p);
    const double t0 = clock_.now();
    int64_t seq = 0;
    int64_t sent = 0;
    double pos = 0;
    const auto steps = static_cast<int64_t>(p.plan.size());

    for (int64_t k = 0; k < steps && !sweepStop_.load(); ++k) {
        const int64_t v = p.plan[static_cast<std::size_t>(k)];
        log().info("sweep Deck {} Stufe {}/{}: {}", deck, k + 1, steps, v);
        for (int64_t m = 0; m < msgsPerStep && !sweepStop_.load(); ++m) {
            const double due = t0 + static_cast<double>(seq) / p.hz;
            if (const double ahead = due - clock_.now(); ahead > 0) {
                std::unique_lock g(sweepWaitLock_);
                sweepWake_.wait_for(g, std::chrono::duration<double>(ahead), [this] { return sweepStop_.load(); });
            }
            if (sweepStop_.load()) break;
            const SourceRef source = sourceIfUp();

            const double now = clock_.now();
            if (sweepLastTouch_ < 0 || now - sweepLastTouch_ >= 0.25) {
                const std::array<uint8_t, 6> pulse{static_cast<uint8_t>(0x90 | c), 0x34, 0x7F,
                                                   static_cast<uint8_t>(0x90 | c), 0x34, 0x00};
                send(pulse, source, 0, true);
                sweepLastTouch_ = now;
            }

            const int64_t s = platform::checkedRound<int64_t>(due * s_.timeFreqByDeck[i].load()).value_or(0);
            const int64_t pRounded = platform::checkedRound<int64_t>(pos).value_or(0);
            const auto cc = static_cast<uint8_t>(0xB0 | c);
            const auto pb = static_cast<uint8_t>(0xE0 | c);
            const auto pb2 = static_cast<uint8_t>(0xE0 | ((c + 2) & 0x0F));
            bool ok = false;
            switch (form) {
                case Form::raw: {
                    const int64_t ms = platform::checkedRound<int64_t>(due * 1000.0).value_or(0);
                    const std::array<uint8_t, 6> b{cc, 26, mod128(ms), cc, 6, mod128(pRounded)};
                    ok = send(b, source, 0, true);
                    pos += static_cast<double>(v) / p.hz;
                    break;
                }
                case Form::withTime: {
                    const double acc = s_.timeCCResidual[i].load() + 1000.0 / p.hz;
                    const double whole = std::clamp(std::trunc(acc), 0.0, 127.0);
                    s_.timeCCResidual[i] = acc - whole;
                    const auto delta = static_cast<uint8_t>(std::clamp<int64_t>(v, -63, 63) & 0x7F);
                    const std::array<uint8_t, 6> b{cc, 26, static_cast<uint8_t>(whole), cc, 6, delta};
                    ok = send(b, source, 0, true);
                    break;
                }
                case Form::twelve: {
                    const std::array<uint8_t, 6> b{pb, lo7(v), hi7(v), pb2, lo7(s), hi7(s)};
                    ok = send(b, source, 0, true);
                    break;
                }
                case Form::pitchBendPosition: {
                    const std::array<uint8_t, 6> b{pb, lo7(pRounded), hi7(pRounded), pb2, lo7(s), hi7(s)};
                    ok = send(b, source, 0, true);
                    pos += static_cast<double>(v) / p.hz;
                    break;
                }
                case Form::absolute: {
                    const auto b = SeratoEmit::stampMessage(deck, true, pos, due, s_);
                    ok = send({b.data(), b.size()}, source, 0, true);
                    pos += static_cast<double>(v) / p.hz;
                    break;
                }
                case Form::nineByte: {
                    const auto b = SeratoEmit::nineByteMessage(deck, pos, due, s_);
                    ok = send({b.data(), b.size()}, source, 0, true);
                    pos += static_cast<double>(v) / p.hz;
                    break;
                }
                case Form::plainCC: {
                    const auto value = static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 127));
                    if (p.plainCCTime) {
                        const std::array<uint8_t, 6> b{pb, lo7(s), hi7(s), cc, static_cast<uint8_t>(p.cc & 0x7F), value};
                        ok = send(b, source, 0, true);
                    } else {
                        const std::array<uint8_t, 3> b{cc, static_cast<uint8_t>(p.cc & 0x7F), value};
                        ok = send(b, source, 0, true);
                    }
                    break;
                }
                case Form::relative: {
                    const auto b = SeratoEmit::relativeMessage(deck, v, due, s_);
                    ok = send({b.data(), b.size()}, source, 0, true);
                    break;
                }
            }
            // Only messages that left are counted, so a sweep into a missing port does not report success.
            if (ok) ++sent;
            ++seq;
        }
    }
    log().info("sweep Deck {} fertig: {} Nachrichten in {:.2f} s", deck, sent, clock_.now() - t0);
    sweepRunning_ = false;
}

}  // namespace plindo::serato
