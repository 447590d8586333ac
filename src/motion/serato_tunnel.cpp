#include "motion/serato_tunnel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace plindo::motion {

namespace {

// Counts wrap instead of overflowing: a guess run continued long enough must not become undefined.
int64_t wadd(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
int64_t wsub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
int64_t wmul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }

bool usable(const SeratoTunnel::Tick& t) {
    constexpr int64_t lim = SeratoTunnel::kCountLimit;
    return t.seq >= -lim && t.seq <= lim && t.cum >= -lim && t.cum <= lim && std::isfinite(t.stamp);
}

}  // namespace

const SeratoTunnel::Tick* SeratoTunnel::knownTick(int64_t s) const {
    const std::size_t i = slot(s, kWindow);
    return knownKey_[i] == s ? &known_[i] : nullptr;
}

void SeratoTunnel::storeKnown(const Tick& t) {
    const std::size_t i = slot(t.seq, kWindow);
    knownKey_[i] = t.seq;
    known_[i] = t;
}

std::optional<int64_t> SeratoTunnel::guessedAt(int64_t s) const {
    const std::size_t i = slot(s, kGuessRing);
    if (guessKey_[i] == s) return guessCum_[i];
    return std::nullopt;
}

void SeratoTunnel::prune(int64_t below) {
    if (below <= prunedBelow_) return;
    // Keys are only ever stored at or above the watermark, so only the steps it moves past can hold any.
    if (prunedBelow_ == INT64_MIN || below - prunedBelow_ >= kWindow) {
        for (auto& key : knownKey_)
            if (key != kEmpty && key < below) key = kEmpty;
        for (auto& key : guessKey_)
            if (key != kEmpty && key < below) key = kEmpty;
    } else {
        for (int64_t s = prunedBelow_; s < below; ++s) {
            if (knownKey_[slot(s, kWindow)] == s) knownKey_[slot(s, kWindow)] = kEmpty;
            if (guessKey_[slot(s, kGuessRing)] == s) guessKey_[slot(s, kGuessRing)] = kEmpty;
        }
    }
    prunedBelow_ = below;
}

void SeratoTunnel::startAfresh() {
    const double keepK = k;
    const double keepJump = jumpDrainSec;
    const int64_t keepRestarts = restarts_;
    const int64_t paid = sentCum_;
    *this = SeratoTunnel{};
    k = keepK;
    jumpDrainSec = keepJump;
    restarts_ = keepRestarts + 1;
    // What was already sent stays the base: the new reference's count minus it is the gap's movement.
    paidBeforeRestart_ = paid;
}

bool SeratoTunnel::ingest(std::span<const Tick> batch) {
    int64_t m = INT64_MIN;
    for (const Tick& t : batch)
        if (usable(t)) m = std::max(m, t.seq);
    if (m == INT64_MIN || m <= newestSeen_) return false;

    // A batch that reaches past what the ring can hold (a sequence jump) starts the stream over.
    if (nextSeq_ && m - (*nextSeq_ - 2) + 1 > kWindow) startAfresh();
    const bool first = !nextSeq_;
    // On a first batch, ticks too far below its newest cannot be held beside it and are left out.
    const int64_t lowest = first ? m - kWindow + 2 : INT64_MIN;
    auto inBatch = [&](const Tick& t) { return usable(t) && t.seq >= lowest; };

    newestSeen_ = m;

    // The sorted view of the batch, without sorting: lowest seq (first such in batch order), newest seq (last
    // such), and the tick a stable sort would put just before the newest.
    const Tick* lo = nullptr;
    const Tick* hi = nullptr;
    const Tick* below = nullptr;  // newest tick with seq < m
    int newestCount = 0;
    for (const Tick& t : batch) {
        if (!inBatch(t)) continue;
        if (!lo || t.seq < lo->seq) lo = &t;
        if (t.seq == m) {
            hi = &t;
            ++newestCount;
        } else if (!below || t.seq >= below->seq) {
            below = &t;
        }
    }

    const int64_t storeFrom = first ? lowest : *nextSeq_ - 2;
    for (const Tick& t : batch)
        if (inBatch(t) && t.seq >= storeFrom) storeKnown(t);

    if (first) {
        nextSeq_ = lo->seq + 1;
        sentCum_ = paidBeforeRestart_.value_or(lo->cum);
        carryPending_ = paidBeforeRestart_.has_value();
        paidBeforeRestart_.reset();
        lastStamp_ = lo->stamp;
    }

    if (lo->seq < m) {
        const double p = (hi->stamp - lo->stamp) / static_cast<double>(m - lo->seq);
        if (p > 0.0005 && p < 0.1) period_ = p;
        if (newestCount == 1 && below && below->seq == m - 1) {
            lastDelta_ = wsub(hi->cum, below->cum);
            knownStill_ = lastDelta_ == 0;
        }
    }

    // Guesses already made beyond the newest real tick are moved onto it.
    if (m < *nextSeq_ - 1) {
        for (std::size_t i = 0; i < guessKey_.size(); ++i) {
            const int64_t s = guessKey_[i];
            if (s == kEmpty || s <= m || s > *nextSeq_ - 1) continue;
            guessCum_[i] = wadd(hi->cum, wmul(s - m, lastDelta_));
        }
    }

    prune(*nextSeq_ - 2);
    return true;
}

std::optional<int64_t> SeratoTunnel::cum(int64_t s) const {
    if (const Tick* t = knownTick(s)) return t->cum;
    if (auto g = guessedAt(s)) return g;
    if (s == nextSeq_.value_or(0) - 1) return sentCum_;
    return std::nullopt;
}

std::optional<SeratoTunnel::Out> SeratoTunnel::next() {
    if (!nextSeq_) return std::nullopt;
    const int64_t n = *nextSeq_;
    const int64_t prev = cum(n - 1).value_or(sentCum_);

    int64_t cur;
    double stamp;
    bool guessed;
    if (const Tick* t = knownTick(n)) {
        cur = t->cum;
        stamp = t->stamp;
        guessed = false;
    } else {
        cur = wadd(prev, lastDelta_);
        stamp = lastStamp_ + period_;
        const std::size_t i = slot(n, kGuessRing);
        guessKey_[i] = n;
        guessCum_[i] = cur;
        guessStamp_[i] = stamp;
        guessed = true;
    }

    const int64_t delta = wsub(cur, prev);
    const int64_t backlog = wsub(prev, sentCum_);
    int64_t share = 0;
    bool jumped = false;
    if (carryPending_) {
        // The movement across a restart gap goes out at once: paid gradually it would trail the platter
        // for seconds.
        carryPending_ = false;
        share = backlog;
        jumped = backlog != 0;
    } else if (delta != 0) {
        if (backlog == 0) {
            allowance_ = 0;
        } else {
            const double rate = std::fabs(static_cast<double>(delta)) * k;
            const double absBacklog = std::fabs(static_cast<double>(backlog));
            const double drainTime = period_ * absBacklog / rate;
            if (drainTime > jumpDrainSec) {
                share = backlog;
                jumped = true;
            } else {
                const double budget = rate + std::min(1.0, allowance_);
                double take = std::min(absBacklog, std::trunc(budget));
                if (!(take > 0)) take = 0;
                if (take >= absBacklog) {
                    share = backlog;
                } else {
                    const auto whole = static_cast<int64_t>(take);
                    share = backlog < 0 ? -whole : whole;
                }
                allowance_ = budget - take;
            }
        }
    } else if (backlog == 0) {
        allowance_ = 0;
    } else if ((knownTick(n) && knownTick(n - 1)) || (guessed && knownStill_)) {
        // The platter stands still: release the whole backlog now rather than never.
        share = backlog;
        jumped = true;
    }

    const int64_t out = wadd(delta, share);
    sentCum_ = wadd(sentCum_, out);
    lastStamp_ = stamp;
    nextSeq_ = n + 1;
    return Out{n, out, stamp, guessed, jumped};
}

std::string describe(const std::optional<SeratoTunnel::Out>& o) {
    if (!o) return "none";
    char buf[160];
    std::snprintf(buf, sizeof buf, "Out(seq %lld, delta %lld, stamp %.4f, guessed %s, jumped %s)",
                  static_cast<long long>(o->seq), static_cast<long long>(o->delta), o->stamp,
                  o->guessed ? "true" : "false", o->jumped ? "true" : "false");
    return buf;
}

// ---- start-up self-test ----

namespace {

using Pairs = std::vector<std::pair<int64_t, int64_t>>;

Pairs ramp(int64_t lo, int64_t hi, int64_t step) {
    Pairs p;
    for (int64_t q = lo; q <= hi; ++q) p.emplace_back(q, q * step);
    return p;
}

std::vector<SeratoTunnel::Tick> ticksOf(const Pairs& pairs) {
    std::vector<SeratoTunnel::Tick> t;
    for (auto [q, c] : pairs) t.push_back({q, c, static_cast<double>(q) * 0.01, true});
    return t;
}

int64_t residual(const SeratoTunnel& t) {
    if (!t.nextSeq()) return 0;
    const auto c = t.cum(*t.nextSeq() - 1);
    return c ? *c - t.sentCum() : 0;
}

std::string listText(const std::vector<int64_t>& v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(v[i]);
    }
    return s + "]";
}

}  // namespace

std::vector<std::string> SeratoTunnel::selfTest(const Tunables& tun) {
    std::vector<std::string> fail;
    using std::to_string;

    {  // E1: a steady stream passes straight through.
        SeratoTunnel t(tun);
        std::vector<Out> got;
        t.ingest(ticksOf(ramp(31, 40, 3)));
        for (int i = 0; i < 9; ++i)
            if (auto o = t.next()) got.push_back(*o);
        t.ingest(ticksOf(ramp(33, 42, 3)));
        for (int i = 0; i < 2; ++i)
            if (auto o = t.next()) got.push_back(*o);
        bool bad = false;
        std::vector<int64_t> deltas;
        for (const Out& o : got) {
            deltas.push_back(o.delta);
            if (o.delta != 3 || o.guessed) bad = true;
        }
        if (bad) fail.push_back("E1 " + listText(deltas));
        if (const int64_t r = residual(t); r != 0) fail.push_back("E1 R " + to_string(r));
    }

    {  // E2: two guesses, then the truth is paid back gradually.
        std::map<int64_t, int64_t> truth;
        for (auto [q, c] : ramp(31, 40, 3)) truth[q] = c;
        truth[41] = 127;
        truth[42] = 133;
        for (int64_t q = 43; q <= 72; ++q) truth[q] = truth[q - 1] + 5;
        SeratoTunnel t(tun);
        t.ingest(ticksOf(ramp(31, 40, 3)));
        for (int i = 0; i < 9; ++i) t.next();
        const auto o1 = t.next();
        const auto o2 = t.next();
        if (!(o1 && o2 && o1->delta == 3 && o2->delta == 3 && o1->guessed))
            fail.push_back("E2 Raten " + describe(o1) + " " + describe(o2));
        if (const int64_t r = residual(t); r != 0) fail.push_back("E2 R vor Wahrheit " + to_string(r));
        int64_t total = 126;
        for (int64_t hi = 43; hi <= 60; ++hi) {
            Pairs window;
            for (int64_t q = hi - 9; q <= hi; ++q) window.emplace_back(q, truth[q]);
            t.ingest(ticksOf(window));
            const auto o = t.next();
            if (!o) {
                fail.push_back("E2 kein Out " + to_string(hi));
                break;
            }
            if (o->delta <= 0) fail.push_back("E2 Vorzeichen " + to_string(o->delta));
            if (!o->jumped && std::llabs(o->delta - 5) > 1) fail.push_back("E2 Kappe " + to_string(o->delta));
            total += o->delta;
        }
        const int64_t r = residual(t);
        if (r != 0 || total != truth[60])
            fail.push_back("E2 Summe " + to_string(total) + " != " + to_string(truth[60]) + " R " + to_string(r));
    }

    {  // E3: an overshoot followed by continued forward motion never reverses the output.
        SeratoTunnel t(tun);
        t.ingest(ticksOf(ramp(31, 40, 3)));
        for (int i = 0; i < 10; ++i) t.next();
        Pairs window = ramp(32, 40, 3);
        window.emplace_back(41, 118);
        for (int64_t q = 42, c = 121; q <= 80; ++q, c += 3) {
            window.emplace_back(q, c);
            if (window.size() > 10) window.erase(window.begin(), window.end() - 10);
            t.ingest(ticksOf(window));
            const auto o = t.next();
            if (!o) break;
            if (o->delta < 0) {
                fail.push_back("E3 Richtungswechsel " + to_string(o->delta));
                break;
            }
        }
        if (const int64_t r = residual(t); r != 0) fail.push_back("E3 R " + to_string(r));
    }

    {  // E4: an overshoot and then rest releases the backlog at once.
        SeratoTunnel t(tun);
        t.ingest(ticksOf(ramp(31, 40, 3)));
        for (int i = 0; i < 10; ++i) t.next();
        Pairs pairs;
        for (int64_t q = 36; q <= 45; ++q) pairs.emplace_back(q, q <= 40 ? 3 * q : 118);
        t.ingest(ticksOf(pairs));
        const auto o1 = t.next();
        const auto o2 = t.next();
        if (!(o1 && o1->delta == -5 && o1->jumped)) fail.push_back("E4 " + describe(o1));
        if (!(o2 && o2->delta == 0)) fail.push_back("E4 danach " + describe(o2));
    }

    {  // E5: a backlog too large to pay gradually goes out in one jump; a late batch is then ignored.
        SeratoTunnel t(tun);
        t.ingest(ticksOf(ramp(31, 40, 5)));
        for (int i = 0; i < 10; ++i) t.next();
        Pairs pairs;
        for (int64_t q = 33; q <= 40; ++q) pairs.emplace_back(q, 5 * q);
        pairs.emplace_back(41, 305);
        pairs.emplace_back(42, 310);
        t.ingest(ticksOf(pairs));
        const auto o = t.next();
        if (!(o && o->delta == 105 && o->jumped)) fail.push_back("E5 Sprung " + describe(o));
        if (const int64_t r = residual(t); r != 0) fail.push_back("E5 R " + to_string(r));

        if (t.ingest(ticksOf(ramp(20, 29, 3)))) fail.push_back("spaet angenommen");
    }
    return fail;
}

std::vector<std::string> SeratoTunnel::selfTest() { return selfTest(Tunables{}); }

}  // namespace plindo::motion
