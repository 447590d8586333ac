#include "serato/serato_screen_tap.h"

#include "platform/log.h"
#include "platform/message_port.h"
#include "platform/midi_backend.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace plindo::serato {

std::atomic<bool> SeratoScreenTap::spyEnabled{false};

namespace {

spdlog::logger& log() { return platform::logger("serato.tap"); }

constexpr double kRetryAfterSec = 30.0;  // a timed retry waits this long after the last failed attempt
constexpr int kMaxTimedRetryFails = 4;   // after five failed connects in a row the timed retry stops
constexpr double kSilenceSec = 3.0;      // a connected spy without deliveries this long reconnects
constexpr int kAliveLogTicks = 5;

// ALSA kernel clients (the sound cards' ports) are numbered 16 to 127; 0 is the system, 14 the MIDI
// through port, and 128 and above are programs with virtual ports.
constexpr int kFirstCardClient = 16;
constexpr int kFirstUserClient = 128;

std::chrono::steady_clock::duration seconds(double s) {
    if (!std::isfinite(s) || s < 0) s = 0;
    s = std::min(s, 86400.0);  // keeps the conversion to clock ticks in range
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

std::string hexHead(const std::vector<uint8_t>& m, size_t most) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < m.size() && i < most; ++i) {
        if (i) s += ' ';
        s += digits[m[i] >> 4];
        s += digits[m[i] & 15];
    }
    return s;
}

}  // namespace

SeratoScreenTap::SeratoScreenTap(Options options) : opt_(std::move(options)), queue_("serato.tap") {}

SeratoScreenTap::~SeratoScreenTap() {
    queue_.sync([this] {
        stopOnQueue();
        for (auto& t : pending_) t.reset();
    });
    queue_.stop();
}

void SeratoScreenTap::start() {
    queue_.sync([this] { startOnQueue(); });
}

void SeratoScreenTap::stop() {
    queue_.sync([this] { stopOnQueue(); });
}

void SeratoScreenTap::healthTick() {
    queue_.sync([this] { healthTickOnQueue(); });
}

void SeratoScreenTap::resetAnnounced() {
    std::lock_guard l(m_);
    announced_ = {};
}

std::vector<SeratoScreenTap::Destination> SeratoScreenTap::realDestinations() const {
    if (opt_.listDestinations) return opt_.listDestinations();
    std::vector<Destination> out;
    if (!opt_.midi) return out;
    for (const auto& e : opt_.midi->endpoints()) {
        if (!e.isDestination || e.client < kFirstCardClient || e.client >= kFirstUserClient) continue;
        if (e.port < 0 || e.port > 0xFFFF) continue;
        out.push_back({static_cast<int32_t>(e.client * 65536 + e.port), e.name.empty() ? "?" : e.name});
    }
    return out;
}

void SeratoScreenTap::status(const std::string& line) {
    if (!onStatus) return;
    opt_.main.post([cb = onStatus, line] { cb(line); });
}

void SeratoScreenTap::startOnQueue() {
    const auto fails = RaneScreenEvent::selfTest();
    if (!fails.empty()) {
        std::string joined;
        for (size_t i = 0; i < fails.size(); ++i) joined += (i ? "; " : "") + fails[i];
        log().error("selftest: {}", joined);
    }
    armWatchdog();

    const auto candidates = realDestinations();
    if (spyEnabled.load() && !candidates.empty() &&
        platform::RemoteMessagePort::create(SeratoSpyTransport::kDriverPort, opt_.portNamespace)) {
        const auto& c = candidates[static_cast<size_t>(spyCandidate_.load()) % candidates.size()];
        // One port thread feeds the assembler at a time: the old connection ends before a new one begins.
        if (spy_) {
            spy_->stop();
            spy_.reset();
            transport_ = Transport::none;
        }
        auto t =
            std::make_unique<SeratoSpyTransport>([this](std::span<const uint8_t> b) { ingest(b); }, opt_.portNamespace);
        if (t->connect(c.uniqueID)) {
            spy_ = std::move(t);
            transport_ = Transport::spy;
            spyFails_ = 0;
            status("Serato tap: SPY auf \"" + c.name + "\" (" + std::to_string(c.uniqueID) + ")");
            return;
        }
        t->stop();
        t.reset();
        ++spyFails_;
    }

    transport_ = Transport::none;
    if (candidates.empty()) {
        status("Serato tap: aus — kein echter MIDI-Endpunkt oder kein Spying MIDI Driver");
        log().info("no real Seventy-Two -> tap idle (mirror removed in 0956)");
    } else {
        lastSpyTry_ = opt_.clock.now();
        ++spyCandidate_;
        status("Serato tap: SPY greift nicht — naechstes Ziel in 30 s");
        log().info("spy failed on {} candidates present -> retry in 30 s", candidates.size());
    }
}

void SeratoScreenTap::stopOnQueue() {
    watchdog_.reset();  // cancels the pending wait
    if (spy_) spy_->stop();
    spy_.reset();
    transport_ = Transport::none;
}

void SeratoScreenTap::armWatchdog() {
    if (watchdog_ || !(opt_.healthPeriodSec > 0) || !std::isfinite(opt_.healthPeriodSec)) return;
    watchdog_ = std::make_unique<asio::steady_timer>(queue_.context());
    struct Rearm {
        SeratoScreenTap* tap;
        asio::steady_timer* timer;
        void operator()(const asio::error_code& ec) const {
            if (ec || tap->watchdog_.get() != timer) return;  // stopped, or replaced by a later start
            tap->healthTickOnQueue();
            if (tap->watchdog_.get() != timer) return;
            timer->expires_at(timer->expiry() + seconds(tap->opt_.healthPeriodSec));
            timer->async_wait(*this);
        }
    };
    watchdog_->expires_after(seconds(opt_.healthPeriodSec));
    watchdog_->async_wait(Rearm{this, watchdog_.get()});
}

void SeratoScreenTap::healthTickOnQueue() {
    const double now = opt_.clock.now();
    ++healthTick_;
    if (healthTick_ % kAliveLogTicks == 0)
        log().info("tap alive: {} deliveries/5 s, transport {}", rawCount_.exchange(0), text(transport_.load()));

    if (transport_.load() == Transport::none) {
        if (!spyEnabled.load()) return;
        if (spyFails_.load() <= kMaxTimedRetryFails && now - lastSpyTry_ > kRetryAfterSec &&
            !realDestinations().empty()) {
            lastSpyTry_ = now;
            log().info("spy: retry");
            startOnQueue();
        }
        return;
    }

    const double lastRaw = lastRawWall_.load();
    if (lastRaw > 0 && now - lastRaw > kSilenceSec) {
        log().info("spy: silent {:.1f} s -> reconnect", now - lastRaw);
        ++spyCandidate_;
        status("Serato tap: SPY silent — reconnecting");
        if (spy_) spy_->stop();
        spy_.reset();
        transport_ = Transport::none;
        lastRawWall_ = 0;
        startOnQueue();
    }
}

void SeratoScreenTap::ingest(std::span<const uint8_t> bytes) {
    const double now = opt_.clock.now();
    lastRawWall_ = now;
    lastFrameWall_ = now;
    ++rawCount_;
    for (const auto& m : assembler_.feed(bytes)) handleSysEx(m);
}

void SeratoScreenTap::handleSysEx(const std::vector<uint8_t>& message) {
    lastFrameWall_ = opt_.clock.now();
    ++sysexCount_;
    if (sysexCount_ <= 3) log().info("sysex {}: {} bytes [{} …]", sysexCount_, message.size(), hexHead(message, 12));

    const auto e = RaneScreenEvent::decode(message);
    if (!e) return;
    using E = RaneScreenEvent;
    if (const auto* t = std::get_if<E::Time>(&e->value)) {
        if (++timeCount_ == 1) {
            log().info("first 0x05 time deck {} {:f} s", t->deck + 1, t->sec);
            if (onStatus) onStatus(fmt::format("Serato tap: first 0x05 time (deck {}, {:.2f} s)", t->deck + 1, t->sec));
        }
        if (onTime) onTime(t->deck, t->sec, t->vel);
    } else if (const auto* ti = std::get_if<E::Title>(&e->value)) {
        if (ti->deck != 0 && ti->deck != 1) return;
        {
            std::lock_guard l(m_);
            titles_[size_t(ti->deck)] = ti->text;
        }
        log().info("0x01 title deck {}: {}", ti->deck + 1, ti->text);
        if (onStatus)
            onStatus("Serato tap: 0x01 title deck " + std::to_string(ti->deck + 1) + ": \"" + ti->text + "\"");
        scheduleAnnounce(ti->deck);
    } else if (const auto* ar = std::get_if<E::Artist>(&e->value)) {
        if (ar->deck != 0 && ar->deck != 1) return;
        {
            std::lock_guard l(m_);
            artists_[size_t(ar->deck)] = ar->text;
        }
        log().info("0x02 artist deck {}: {}", ar->deck + 1, ar->text);
        if (onStatus)
            onStatus("Serato tap: 0x02 artist deck " + std::to_string(ar->deck + 1) + ": \"" + ar->text + "\"");
        scheduleAnnounce(ar->deck);
    } else if (const auto* r = std::get_if<E::LibRow>(&e->value)) {
        if (onLibRow) onLibRow(r->row, r->title, r->artist);
    } else if (const auto* c = std::get_if<E::LibCrate>(&e->value)) {
        if (onLibCrate) onLibCrate(c->name);
    } else if (const auto* cu = std::get_if<E::LibCursor>(&e->value)) {
        log().info("0x23 cursor row {} a={} b={}", cu->row, cu->a, cu->b);
        if (onLibCursor) onLibCursor(cu->row, cu->a, cu->b);
    } else if (const auto* o = std::get_if<E::Other>(&e->value)) {
        if (seenTypes_.insert(o->type).second) log().info("rane type 0x{:x} seen", o->type);
    }
}

void SeratoScreenTap::scheduleAnnounce(int deck) {
    queue_.post([this, deck] {
        auto& timer = pending_[size_t(deck)];
        if (!timer) timer = std::make_unique<asio::steady_timer>(queue_.context());
        timer->expires_after(seconds(opt_.announceDelaySec));  // cancels the announcement scheduled before
        timer->async_wait([this, deck](const asio::error_code& ec) {
            if (!ec) announce(deck);
        });
    });
}

void SeratoScreenTap::announce(int deck) {
    std::string title, artist;
    {
        std::lock_guard l(m_);
        const auto d = size_t(deck);
        if (titles_[d].empty()) return;
        std::string key = titles_[d] + '\x1F' + artists_[d];
        if (key == announced_[d]) return;
        announced_[d] = std::move(key);
        title = titles_[d];
        artist = artists_[d];
    }
    if (onTrack) opt_.main.post([cb = onTrack, deck, title, artist] { cb(deck, title, artist); });
}

}  // namespace plindo::serato
