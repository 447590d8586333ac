// The control endpoint ("/ctl"): reports of the controller's inner state, and the run-time settings and
// test senders of the MIDI output. Every command answers with its current values. Runs on main.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "platform/log.h"
#include "platform/url.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>

namespace plindo::host {

namespace {
using json = nlohmann::json;
using Params = std::map<std::string, std::string>;

// Items of a list parameter; a longer list is refused.
constexpr size_t kMaxListItems = 4096;
constexpr double kMaxFreq = 1e8;

// A decimal number: digits, one point, an exponent, a sign in front. Anything else (blanks, "inf", "nan",
// hex, a trailing unit) is not a number, and neither is a value beyond the double range.
std::optional<double> readNumber(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return std::nullopt;
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (*begin == '+' && ++begin != end && *begin == '-') return std::nullopt;  // one sign only
    double v = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, v);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

// A deck number given as text: exactly "1" or "2" (leading zeros allowed); "2 ", "1.5", "1e0" or "x" are
// not a deck, so that a command never falls back to deck 1 for a value it misread.
std::optional<int> readDeck(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const size_t digit = text.find_first_not_of('0');
    if (digit == std::string::npos || digit + 1 != text.size()) return std::nullopt;
    const int d = text[digit] - '0';
    if (d != 1 && d != 2) return std::nullopt;
    return d;
}

std::optional<bool> readFlag(const std::string& text) {
    static const std::set<std::string> on{"1", "true", "on", "yes"}, off{"0", "false", "off", "no"};
    if (on.count(text)) return true;
    if (off.count(text)) return false;
    return std::nullopt;
}

// Collects a command's changes, checks them all, and applies them only when every one is in range. A value
// that does not read as a number or a flag counts as not given: the current setting stays.
class Changes {
public:
    explicit Changes(const Params& p) : p_(p) {}

    void number(const std::string& key, double lo, double hi, std::function<void(double)> apply, bool loOpen = false) {
        const auto it = p_.find(key);
        if (it == p_.end()) return;
        const auto v = readNumber(it->second);
        if (!v) return;
        if (*v < lo || *v > hi || (loOpen && *v <= lo)) return fail(key);
        apply_.push_back([apply, x = *v] { apply(x); });
    }
    void integer(const std::string& key, int64_t lo, int64_t hi, std::function<void(int64_t)> apply) {
        const auto it = p_.find(key);
        if (it == p_.end()) return;
        const auto v = readNumber(it->second);
        if (!v) return;
        if (*v != std::floor(*v) || *v < static_cast<double>(lo) || *v > static_cast<double>(hi)) return fail(key);
        apply_.push_back([apply, x = static_cast<int64_t>(*v)] { apply(x); });
    }
    void flag(const std::string& key, std::function<void(bool)> apply) {
        const auto it = p_.find(key);
        if (it == p_.end()) return;
        if (const auto v = readFlag(it->second)) apply_.push_back([apply, x = *v] { apply(x); });
    }
    void text(const std::string& key, std::function<void(const std::string&)> apply) {
        const auto it = p_.find(key);
        if (it != p_.end()) apply_.push_back([apply, x = it->second] { apply(x); });
    }
    // A text that must be one of `names`.
    void choice(const std::string& key, std::initializer_list<std::string_view> names,
                std::function<void(const std::string&)> apply) {
        const auto it = p_.find(key);
        if (it == p_.end()) return;
        if (std::find(names.begin(), names.end(), it->second) == names.end()) return fail(key);
        apply_.push_back([apply, x = it->second] { apply(x); });
    }
    // The error answer, or none after every change was applied.
    std::optional<json> commit() {
        if (error_) return json{{"error", *error_}};
        for (auto& a : apply_) a();
        return std::nullopt;
    }

private:
    void fail(const std::string& key) {
        if (!error_) error_ = key + " out of range";
    }
    const Params& p_;
    std::optional<std::string> error_;
    std::vector<std::function<void()>> apply_;
};

std::string formatName(uint8_t f) {
    switch (f) {
        case serato::SeratoOutFormat::twelve: return "twelve";
        case serato::SeratoOutFormat::jog: return "jog";
        case serato::SeratoOutFormat::phone: return "phone";
        case serato::SeratoOutFormat::rel: return "rel";
        case serato::SeratoOutFormat::radian: return "radian";
        default: return "?";
    }
}

// Non-finite numbers become null, so that every answer encodes.
void dropNonFinite(json& j) {
    if (j.is_number_float()) {
        if (!std::isfinite(j.get<double>())) j = nullptr;
    } else if (j.is_structured()) {
        for (auto& v : j) dropNonFinite(v);
    }
}

std::string hexBytes(std::span<const uint8_t> bytes) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    return out;
}

// Commands that send MIDI whatever their parameters.
const std::set<std::string> kSenders{"sweep", "sysex", "cc", "note", "trio"};
// Parameters that only pick what a report shows.
const std::set<std::string> kReportKeys{"cmd", "deck", "slot"};
}  // namespace

double HostState::numberParam(const Params& params, const std::string& key, double def) {
    const auto it = params.find(key);
    if (it == params.end()) return def;
    return readNumber(it->second).value_or(def);
}

std::string HostState::hexDigits(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '+' || std::isspace(static_cast<unsigned char>(c))) continue;
        out += c;
    }
    return out;
}

std::optional<int64_t> HostState::intItem(const std::string& item) {
    const auto first = item.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos) return std::nullopt;
    const auto last = item.find_last_not_of(" \t\r\n\f\v");
    std::string_view v(item.data() + first, last - first + 1);
    bool negative = false;
    if (v.front() == '+' || v.front() == '-') {
        negative = v.front() == '-';
        v.remove_prefix(1);
    }
    if (v.empty() || v.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    uint64_t magnitude = 0;
    const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), magnitude);
    if (ec != std::errc() || ptr != v.data() + v.size()) return std::nullopt;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    if (magnitude > limit) return std::nullopt;
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

// --- Records ---

json HostState::cueEntries(int deck) const {
    json out = json::array();
    if (deck < 1 || deck > 2) return out;
    for (int slot = 0; slot < 8; ++slot) {
        if (seratoCueSet[deck - 1][slot]) out.push_back(json::array({slot, seratoCueSec[deck - 1][slot]}));
    }
    return out;
}

json HostState::tunnelStats(int deck) const {
    int64_t outs = 0, guessed = 0, jumped = 0, resets = 0, late = 0, residual = 0, backlog = 0;
    double period = 0;
    if (deck == 1 || deck == 2) {
        feeds->tunnelCell[deck - 1].update([&](TunnelState& t) {
            outs = t.outs, guessed = t.guessed, jumped = t.jumped, resets = t.resets, late = t.late;
            if (const auto next = t.tun.nextSeq()) {
                if (const auto c = t.tun.cum(*next - 1)) residual = *c - t.tun.sentCum();
                backlog = std::max<int64_t>(0, t.tun.newestSeen() - *next + 1);
            }
            period = t.tun.period();
        });
    }
    return json{{"outs", outs},         {"guessed", guessed},   {"jumped", jumped},   {"resets", resets},
                {"late", late},         {"residual", residual}, {"backlog", backlog}, {"periodMs", period * 1000}};
}

json HostState::budUpStats(int deck) const {
    int64_t outs = 0, guessed = 0, jumped = 0, resets = 0, residual = 0;
    double period = 0;
    if (deck == 1 || deck == 2) {
        feeds->budUpCell[deck - 1].update([&](BudUpState& b) {
            outs = b.outs, guessed = b.guessed, jumped = b.jumped, resets = b.resets;
            const auto& tun = b.up.tun;
            if (const auto next = tun.nextSeq()) {
                auto at = tun.cum(*next - 1);
                if (!at) at = tun.guessedAt(*next - 1);
                residual = at.value_or(tun.sentCum()) - tun.sentCum();
            }
            period = tun.period();
        });
    }
    return json{{"outs", outs},         {"guessed", guessed},   {"jumped", jumped},
                {"resets", resets},     {"residual", residual}, {"periodMs", period * 1000}};
}

json HostState::leadStats(int deck) const {
    serato::SeratoMIDIOut::JitStats j;
    double lead = 0;
    if (deck == 1 || deck == 2) {
        j = seratoOut->jitStats(deck);
        lead = seratoOut->leadEff(deck);
    }
    return json{{"p50", j.p50 * 1000}, {"p95", j.p95 * 1000}, {"p99", j.p99 * 1000}, {"n", j.n}, {"leadMs", lead * 1000}};
}

json HostState::browserRowRecord(int row, const std::string& title, const std::string& artist,
                                 const std::string& crate) const {
    const auto extra = seratoRowExtra.find(row);
    const int64_t durMs = extra == seratoRowExtra.end() ? 0 : extra->second.first;
    const std::string key = extra == seratoRowExtra.end() ? std::string() : extra->second.second;
    std::string path;
    if (!title.empty()) {
        if (auto t = seratoLibrary_.track(title, artist, crate, durMs, key)) path = t->path;
    }
    return json{{"title", title}, {"artist", artist}, {"durMs", durMs}, {"key", key},
                {"path", platform::listedName(path)}};
}

// --- Reports ---

json HostState::stateReport() const {
    const double now = clock_.now();
    json decksOut = json::array();
    for (int deck = 1; deck <= 2; ++deck) {
        const DeckInfo& d = this->deck(deck);
        json seratoPlay = d.seratoPlay ? json(*d.seratoPlay) : json(nullptr);
        // A name that is not UTF-8 in the form that the track server and `cmd=load` take back.
        decksOut.push_back(json{{"path", platform::listedName(d.path)},
                                {"name", d.name},
                                {"posSec", d.posSec},
                                {"rate", d.rate},
                                {"seratoPlay", seratoPlay},
                                {"jitterMs", d.jitterMs},
                                {"maxGapMs", d.maxGapMs},
                                {"via", d.via},
                                {"wavOk", d.wavOk},
                                {"durationSec", d.durationSec},
                                {"remoteFresh", d.remoteFresh},
                                {"remoteName", d.remoteName},
                                {"standalone", d.standalone},
                                {"cover", !d.cover.isNull()},
                                {"wirePos", d.wirePos},
                                {"wireRate", d.wireRate},
                                {"lastFrameAngle", d.lastFrameAngle},
                                {"angleAdvN", d.angleAdvN},
                                {"frameN", d.frameN},
                                {"wireTs", d.wireTs},
                                {"angNetRev", d.angNetRev},
                                {"tsBackN", d.tsBackN},
                                {"emitter", seratoOut->isActive(deck)},
                                {"motor", hostMotor.isOn(deck)},
                                {"moving", seratoOut->isMoving(deck - 1, now)},
                                {"seratoCues", cueEntries(deck)}});
        // Deck supervision: who drives the deck and what the DJ application last told of it.
        const int i = deck - 1;
        auto& rec = decksOut.back();
        rec["remoteStandalone"] = d.standalone;
        rec["standalone"] = hostStandalone[i];
        rec["withdrawn"] = withdrawn[i];
        rec["holding"] = leaveTimer[i] != nullptr;
        rec["stuck"] = stuckTold[i];
        rec["seratoSec"] = seratoLastSec[i];
        rec["seratoProgress"] = seratoProgress[i];
        json texts = json::object();
        for (int slot = 0; slot < 8; ++slot) {
            if (!seratoText[i][slot].empty()) texts[std::to_string(slot)] = seratoText[i][slot];
        }
        rec["seratoText"] = texts;
    }
    return json{{"build", std::to_string(link::OrvServer::kHostBuild)},
                {"phase", phase_ == Phase::main ? "main" : "start"},
                {"status", statusLine()},
                {"seratoRunning", seratoRunning_.load()},
                {"midi",
                 {{"backend", midiName_},
                  {"portsUp", seratoOut->portsUp()},
                  {"viaBridge", seratoOut->viaBridge()},
                  {"drainRunning", seratoOut->drainRunning()}}},
                {"decks", decksOut}};
}

json HostState::midiLog() const {
    auto* loop = dynamic_cast<platform::LoopbackMidiBackend*>(midi_);
    if (!loop) return json{{"error", "midilog needs the loopback MIDI backend"}, {"backend", midiName_}};
    json packets = json::array();
    for (const auto& p : loop->sent()) {
        packets.push_back(json{{"source", p.source}, {"hex", hexBytes(p.bytes)}, {"stamp", double(p.hostTimeNs) / 1e9}});
    }
    return json{{"backend", midiName_}, {"count", loop->sentCount()}, {"packets", packets}};
}

// --- The interpreter ---

json HostState::onControl(const std::string& cmd, const Params& params, bool loopback, const ControlLater& later) {
    if (auto group = groupControl(cmd, params, loopback)) return *group;
    static const std::set<std::string> known{"state", "tunnel", "earbud", "jog", "format", "emit", "motion", "drain",
                                              "stamp", "keepalive", "pitchrange", "radian", "timefreq", "twelve",
                                              "spy", "capture", "midibridge", "sweep", "sysex", "cc", "note",
                                              "trio", "dummy", "midilog", "load", "serato",
                                              // Library panes and the DJ application's browser.
                                              "library", "crate", "browser",
                                              // Deck supervision.
                                              "play"};
    if (!known.count(cmd)) return {{"error", "unknown command"}};
    const bool changes = kSenders.count(cmd) > 0 || std::any_of(params.begin(), params.end(), [](const auto& kv) {
                             return !kReportKeys.count(kv.first);
                         });
    if ((changes || cmd == "play") && cmd != "state" && cmd != "midilog" && !loopback) return {{"error", "local only"}};

    auto& s = outSettings_;
    auto& tun = feeds->tunables;
    // The deck of a command: "deck", else "slot", else 1.
    const auto deckText = params.count("deck") ? params.find("deck") : params.find("slot");
    const std::optional<int> deckValue = deckText == params.end() ? std::optional<int>(1) : readDeck(deckText->second);
    const bool deckOk = deckValue.has_value();
    const int deck = deckValue.value_or(1);
    Changes c(params);
    json answer;

    if (cmd == "state") {
        answer = stateReport();
    } else if (cmd == "midilog") {
        answer = midiLog();
    } else if (cmd == "tunnel") {
        c.flag("on", [&](bool v) { tun.tunnelOn = v; });
        c.number("k", 0, 1, [&](double v) { tun.tunnelK = v; }, true);
        c.number("drain", 0, 5, [&](double v) { tun.tunnelJumpDrainSec = v; }, true);
        c.integer("guess", 0, 100, [&](int64_t v) { tun.tunnelMaxGuessRun = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"on", tun.tunnelOn.load()}, {"k", tun.tunnelK.load()}, {"drain", tun.tunnelJumpDrainSec.load()},
                  {"guess", tun.tunnelMaxGuessRun.load()}, {"deck1", tunnelStats(1)}, {"deck2", tunnelStats(2)}};
    } else if (cmd == "earbud") {
        c.flag("on", [&](bool v) { tun.budUpOn = v; });
        c.number("grid", 0.001, 0.05, [&](double v) { tun.budGridSec = v; });
        c.number("lead", 0, 0.5, [&](double v) { tun.budLeadSec = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"on", tun.budUpOn.load()}, {"grid", tun.budGridSec.load()}, {"lead", tun.budLeadSec.load()},
                  {"deck1", budUpStats(1)}, {"deck2", budUpStats(2)}};
    } else if (cmd == "jog") {
        c.number("part", 0.5, 64, [&](double v) { s.subStepTicks = v; });
        c.integer("sub", 0, serato::SeratoMIDIOut::kMaxSubSteps, [&](int64_t v) { s.subSteps = v; });
        c.number("lead", 0, 10, [&](double v) { s.leadScale = v; });
        c.flag("auto", [&](bool v) { s.autoLead = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"part", s.subStepTicks.load()}, {"sub", s.subSteps.load()}, {"lead", s.leadScale.load()},
                  {"auto", s.autoLead.load()}, {"jitterMs", json::array({leadStats(1), leadStats(2)})}};
    } else if (cmd == "format") {
        c.choice("mode", {"twelve", "jog", "phone", "rel", "radian"}, [&](const std::string& v) { s.selectFormat(v); });
        c.number("ticksrev", 1, 1e6, [&](double v) { s.ticksPerRev = v; });
        c.number("stepms", 0.2, 8, [&](double v) {
            auto t = s.tuning.load();
            t.step = v / 1000;
            s.tuning.store(t);
        });
        c.choice("rel", {"twos", "offset", "signed", "onoff"},
                 [&](const std::string& v) { s.timeCCForm = serato::TimeCCForm::named(v); });
        if (auto e = c.commit()) return *e;
        const auto t = s.tuning.load();
        answer = {{"format", formatName(s.format.load())}, {"ticksPerRev", s.ticksPerRev.load()},
                  {"stepMs", t.step * 1000}, {"smoothWindowMs", t.step * 20 * 1000},
                  {"rel", std::string(serato::TimeCCForm::name(s.timeCCForm.load()))}};
    } else if (cmd == "emit") {
        auto t = s.tuning.load();
        c.number("delay", 0, 500, [&](double v) { t.delay = v / 1000; });
        c.number("ahead", 0, 500, [&](double v) { t.ahead = v / 1000; });
        c.number("seg", 0, 10, [&](double v) { t.segFactor = v; });
        if (auto e = c.commit()) return *e;
        s.tuning.store(t);
        answer = {{"delayMs", t.delay * 1000}, {"aheadMs", t.ahead * 1000}, {"segFactor", t.segFactor},
                  {"reprimeMs", t.reprime * 1000}};
    } else if (cmd == "motion") {
        c.flag("gate", [&](bool v) { s.movementGate = v; });
        c.integer("ticks", 1, 100000, [&](int64_t v) { s.motionTicks = v; });
        c.number("window", 0.001, 5, [&](double v) { s.motionWindow = v; });
        c.number("hold", 0, 60, [&](double v) { s.motionHold = v; });
        c.number("underrun", 0.01, 60, [&](double v) { s.motionUnderrun = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"gate", s.movementGate.load()}, {"ticks", s.motionTicks.load()}, {"window", s.motionWindow.load()},
                  {"hold", s.motionHold.load()}, {"underrun", s.motionUnderrun.load()}};
    } else if (cmd == "drain") {
        c.flag("rt", [&](bool v) { seratoOut->setRealtimeDrain(v); });
        if (auto e = c.commit()) return *e;
        answer = {{"rt", s.realtimeDrain.load()}, {"running", seratoOut->drainRunning()}};
    } else if (cmd == "stamp") {
        c.integer("mode", 0, 2, [&](int64_t v) { s.timestampMode = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"mode", s.timestampMode.load()}};
    } else if (cmd == "keepalive") {
        c.integer("mode", 0, 2, [&](int64_t v) { s.keepAliveMode = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"mode", s.keepAliveMode.load()}};
    } else if (cmd == "pitchrange") {
        c.number("pct", 0.1, 100, [&](double v) { s.pitchRangePercent = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"pct", s.pitchRangePercent.load()}};
    } else if (cmd == "radian") {
        c.number("scale", 0.001, 1000, [&](double v) { s.radianScale = v; });
        c.number("still", 0, 10, [&](double v) { s.radianStill = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"scale", s.radianScale.load()}, {"still", s.radianStill.load()}};
    } else if (cmd == "timefreq") {
        const uint8_t f = s.format.load();
        const bool perDeck = f == serato::SeratoOutFormat::phone || f == serato::SeratoOutFormat::rel;
        if (perDeck && params.count("hz") && (params.count("deck") || params.count("slot")) && !deckOk)
            return {{"error", "deck out of range"}};
        const bool bothDecks = !params.count("deck") && !params.count("slot");
        c.number("hz", 1, kMaxFreq, [&](double v) {
            if (perDeck) {
                for (int d = 1; d <= 2; ++d) {
                    if (bothDecks || d == deck) s.timeFreqByDeck[d - 1] = v;
                }
            } else if (s.twelveFlag.load()) {
                s.twelveFreq = v;
            } else {
                s.stampFreq = v;
            }
        });
        if (auto e = c.commit()) return *e;
        answer = {{"stampFreq", s.stampFreq.load()}, {"twelveFreq", s.twelveFreq.load()},
                  {"timeFreqByDeck", json::array({s.timeFreqByDeck[0].load(), s.timeFreqByDeck[1].load()})}};
    } else if (cmd == "twelve") {
        c.flag("on", [&](bool v) { s.twelveFlag = v; });
        if (auto e = c.commit()) return *e;
        answer = {{"twelve", s.twelveFlag.load()}};
    } else if (cmd == "spy") {
        bool startTap = false;
        c.flag("enable", [&](bool v) {
            startTap = v && !serato::SeratoScreenTap::spyEnabled.load();
            serato::SeratoScreenTap::spyEnabled = v;
        });
        if (auto e = c.commit()) return *e;
        if (startTap && phase_ == Phase::main) seratoTap->start();
        answer = {{"spy", serato::SeratoScreenTap::spyEnabled.load()},
                  {"transport", serato::SeratoScreenTap::text(seratoTap->transport())}};
    } else if (cmd == "capture") {
        c.flag("enable", [&](bool v) { serato::SeratoCapture::setCaptureEnabled(v); });
        if (auto e = c.commit()) return *e;
        answer = {{"capture", serato::SeratoCapture::captureEnabled()}};
    } else if (cmd == "midibridge") {
        c.flag("enable", [&](bool v) { serato::MIDIBridgeClient::enabled = v; });
        bool restart = false;
        c.flag("restart", [&](bool v) { restart = v; });
        if (auto e = c.commit()) return *e;
        if (restart) restartBridge();
        answer = {{"enabled", serato::MIDIBridgeClient::enabled.load()}, {"up", bridge_.isUp()},
                  {"restarting", restart}};
    } else if (cmd == "sweep") {
        if (!deckOk) return {{"error", "deck"}};
        serato::SeratoMIDIOut::SweepParams p;
        p.deck = deck;
        const auto planIt = params.find("plan");
        if (planIt != params.end() && !planIt->second.empty()) {
            size_t begin = 0;
            while (true) {
                const size_t comma = planIt->second.find(',', begin);
                const auto item = intItem(planIt->second.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
                if (!item) return {{"error", "plan: not an integer list"}};
                if (p.plan.size() == kMaxListItems) return {{"error", "plan: at most 4096 items"}};
                p.plan.push_back(*item);
                if (comma == std::string::npos) break;
                begin = comma + 1;
            }
        }
        p.hz = numberParam(params, "hz", 0);
        p.dwell = numberParam(params, "dwell", 0);
        const auto on = [&](const char* key) { return params.count(key) && readFlag(params.at(key)).value_or(false); };
        p.raw = on("raw");
        p.withTime = on("time");
        p.twelve = on("twelve");
        p.pitchBendPosition = on("pb");
        p.absolute = on("abs");
        p.nineByte = on("nine");
        if (params.count("cc")) {
            const double cc = numberParam(params, "cc", -1);
            if (cc < 0 || cc > 127 || cc != std::floor(cc)) return {{"error", "cc out of range"}};
            p.plainCC = true;
            p.cc = static_cast<uint8_t>(cc);
            p.plainCCTime = on("cctime");
        }
        if (params.count("twelvemode")) p.twelveMode = params.at("twelvemode");
        if (params.count("rel")) p.relForm = params.at("rel");
        if (params.count("sign")) p.sign = params.at("sign");
        answer = seratoOut->sweep(p);
    } else if (cmd == "sysex") {
        const std::string hex = hexDigits(params.count("hex") ? params.at("hex") : "");
        std::vector<uint8_t> bytes;
        bool ok = !hex.empty() && hex.size() % 2 == 0 && hex.size() / 2 <= 200;
        for (size_t i = 0; ok && i < hex.size(); i += 2) {
            uint8_t b = 0;
            const auto [ptr, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, b, 16);
            ok = ec == std::errc() && ptr == hex.data() + i + 2;
            bytes.push_back(b);
        }
        ok = ok && bytes.size() >= 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7 &&
             std::all_of(bytes.begin() + 1, bytes.end() - 1, [](uint8_t b) { return b <= 0x7F; });
        if (!ok) return {{"error", "hex: F0 ... F7, Datenbytes <= 7F, hoechstens 200 Byte"}};
        seratoOut->testSysex(bytes);
        answer = {{"sent", bytes.size()}, {"hex", hexBytes(bytes)}};
    } else if (cmd == "cc" || cmd == "note" || cmd == "trio") {
        if (!deckOk) return {{"error", "deck out of range"}};
        std::map<std::string, int64_t> v;
        const std::vector<std::string> keys = cmd == "cc" ? std::vector<std::string>{"cc", "value"}
                                              : cmd == "note" ? std::vector<std::string>{"note"}
                                                              : std::vector<std::string>{"time", "radian", "rate"};
        for (const auto& k : keys) {
            v[k] = 0;
            c.integer(k, 0, 127, [&v, k](int64_t x) { v[k] = x; });
        }
        if (auto e = c.commit()) return *e;
        const auto u = [&](const std::string& k) { return static_cast<uint8_t>(v[k]); };
        if (cmd == "cc") seratoOut->testCC(u("cc"), u("value"), deck);
        if (cmd == "note") seratoOut->noteTap(u("note"), deck);
        if (cmd == "trio") seratoOut->testTrio(deck, u("time"), u("radian"), u("rate"));
        answer = json{{"deck", deck}};
        for (const auto& [k, x] : v) answer[k] = x;
    } else if (cmd == "play") {
        if (!deckOk) return {{"error", "deck out of range"}};
        transportButton(deck);
        answer = {{"deck", deck}, {"standalone", hostStandalone[deck - 1]}, {"motor", hostMotor.isOn(deck)},
                  {"status", statusLine()}};
    } else if (cmd == "load" || cmd == "serato") {
        // Deck commands: the deck must be named right, the rest is the loader's.
        if (!deckOk) return {{"error", "deck must be 1 or 2"}};
        if (cmd == "load") {
            const auto it = params.find("path");
            if (it == params.end() || it->second.empty()) return {{"error", "path missing"}};
            loadDeck(deck, link::DeckFileServer::namedPath(it->second));
            answer = {{"deck", deck}, {"path", platform::listedName(this->deck(deck).path)}};
        } else {
            const auto it = params.find("on");
            if (it == params.end() || (it->second != "0" && it->second != "1")) return {{"error", "on must be 0 or 1"}};
            setSeratoDeck(deck, it->second == "1");
            answer = {{"deck", deck}, {"serato", isSeratoDeck(deck)}};
        }
    } else if (cmd == "library" || cmd == "crate" || cmd == "browser") {
        answer = libraryCommandAnswer(cmd, params, later);
        if (answer.is_discarded() || answer.contains("error")) return answer;
    } else if (cmd == "dummy") {
        bool init = false;
        c.flag("init", [&](bool v) { init = v; });
        if (auto e = c.commit()) return *e;
        if (init) seratoOut->initDeck(seratoLastDummySlot);
        answer = {{"dummy", seratoLastDummySlot}, {"active", seratoOut->isActive(seratoLastDummySlot)}, {"init", init}};
    }
    dropNonFinite(answer);
    return answer;
}

void HostState::restartBridge() {
    // The restart waits 1.5 s for the bridge to come back: never on main.
    if (!bridgeQueue_) bridgeQueue_ = std::make_unique<platform::SerialQueue>("plindo.bridge");
    std::weak_ptr<int> alive = life_;
    bridgeQueue_->post([this, alive] {
        const std::string line = bridge_.restart();
        main_.post([this, alive, line] {
            if (alive.lock()) setStatus(line);
        });
    });
}

}  // namespace plindo::host
