// Drives the MIDI input's parser, feedback, SysEx router and return decoders with arbitrary bytes: the
// whole input as one stream, and the input itself as one message for every decoder. Checks the invariants
// the input relies on: SysEx within its cap and framed, deck numbers 1 or 2, septet packing round-trips.
#include "serato/midi_byte_parser.h"
#include "serato/screen_wave.h"
#include "serato/serato_feedback.h"
#include "serato/serato_return.h"
#include "serato/sysex_router.h"

#include <cstdlib>
#include <span>

namespace {

namespace R = plindo::serato::SeratoReturn;

void check(bool ok) {
    if (!ok) std::abort();
}

void decodeAll(std::span<const uint8_t> m) {
    if (auto t = R::decodeTimeInfo(m)) check(t->deck == 1 || t->deck == 2);
    (void)R::isRaneFrame(m);
    if (auto f = R::unpackRaneFrame(m)) {
        (void)R::platterPosition(f->payload);
        if (auto w = R::screenWave(f->payload)) {
            const auto cols = w->columns();
            for (int c = 0; c < R::ScreenWave::kCols; ++c) check(cols[5 * c] <= 36 && cols[5 * c + 1] <= 35);
        }
        // The payload packs back into septets that unpack to it again.
        const auto body = R::packSeptets(f->payload);
        check(body.size() <= m.size());
    }
    (void)R::platterPosition(m);
    (void)R::screenWave(m);
    if (auto s = R::decodeSongInfo(m, 2)) check(s->deck == 2 && !s->text.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::serato;
    const std::span<const uint8_t> bytes(data, size);
    decodeAll(bytes);

    MidiByteParser parser;
    SeratoFeedback feedback;
    SysexRouter router;
    double now = 1.0;
    for (uint8_t b : bytes) {
        const auto e = parser.feed(b);
        if (e.kind == MidiByteParser::Event::Kind::sysex) {
            check(e.sysex.size() <= MidiByteParser::kMaxSysex + 1 && e.sysex.front() == 0xF0 &&
                  e.sysex.back() == 0xF7);
            decodeAll(e.sysex);
            const auto r = router.route(e.sysex, {now += 0.01, feedback.ccDeck, feedback.lastChangedDeck, true});
            if (r.kind == SysexRouter::Route::Kind::time || r.kind == SysexRouter::Route::Kind::path ||
                r.kind == SysexRouter::Route::Kind::text)
                check(r.deck == 1 || r.deck == 2);
        } else if (e.kind == MidiByteParser::Event::Kind::channel) {
            check(e.data1 < 0x80 && e.data2 < 0x80);
            const uint8_t kind = e.status & 0xF0;
            const int ch = e.status & 0x0F;
            const auto o = kind == 0xB0 ? feedback.controller(ch, e.data1, e.data2)
                                        : feedback.note(kind == 0x80 ? 0x80 : 0x90, ch, e.data1, e.data2);
            if (o.event.kind != SeratoFeedback::Event::Kind::none) check(o.event.deck == 1 || o.event.deck == 2);
        }
    }
    for (const auto& store : router.screenWave) check(store.size() <= SysexRouter::kMaxScreenWaves);
    return 0;
}
