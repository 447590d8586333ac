#include "serato/serato_midi_in.h"

#include "platform/log.h"
#include "serato/midi_bridge_client.h"
#include "serato/serato_capture.h"

#include <utility>

namespace plindo::serato {

namespace {

spdlog::logger& log() {
    static spdlog::logger& l = platform::logger("serato-in");
    return l;
}

}  // namespace

SeratoMIDIIn::SeratoMIDIIn(platform::MidiBackend& backend, platform::MainExecutor& main, MIDIBridgeClient* bridge,
                           const platform::Clock& uptime)
    : backend_(backend), main_(main), bridge_(bridge), uptime_(uptime) {
    life_->self.store(this);
}

SeratoMIDIIn::~SeratoMIDIIn() {
    if (viaBridge_ && bridge_) bridge_->setOnReadback(nullptr);
    {
        // Waits for a delivery in flight; later ones (and posted blocks) find nobody.
        std::lock_guard g(life_->deliver);
        life_->self.store(nullptr);
    }
    dest_.reset();
}

template <typename F>
void SeratoMIDIIn::postMain(F&& f) {
    main_.post([w = std::weak_ptr<Life>(life_), fn = std::forward<F>(f)]() mutable {
        const auto life = w.lock();
        if (!life) return;
        if (SeratoMIDIIn* self = life->self.load()) fn(*self);
    });
}

void SeratoMIDIIn::status(const std::string& line) {
    if (onStatus) onStatus(line);
}

// ---------------------------------------------------------------------------------------------------------
// Start

void SeratoMIDIIn::start() {
    if (running_) return;
    // Both roads feed the same parser, through the life gate so that nothing is parsed into a dead object.
    auto deliver = [w = std::weak_ptr<Life>(life_)](std::span<const uint8_t> bytes) {
        const auto life = w.lock();
        if (!life) return;
        std::lock_guard g(life->deliver);
        if (SeratoMIDIIn* self = life->self.load()) self->receive(bytes);
    };

    if (bridge_ && bridge_->probe()) {
        bridge_->setOnReadback(deliver);
        viaBridge_ = true;
        running_ = true;
        status("Serato in: readback via PlindoMIDIBridge");
        log().info("readback via PlindoMIDIBridge");
        return;
    }
    // The sequencer stands for the MIDI client: without it nothing can be created.
    if (!backend_.available()) {
        const std::string why = backend_.status();
        status("Serato in: MIDIClientCreate failed (" + why + ")");
        log().error("MIDIClientCreate failed: {}", why);
        return;
    }
    // The fixed port number is the pinned identity that the saved mapping binds to.
    dest_ = backend_.createDestination(kEndpointName, kClientName, kDestinationPort,
                                       [deliver](std::span<const uint8_t> bytes, int64_t) { deliver(bytes); });
    if (!dest_) {
        const std::string why = backend_.status();
        status("Serato in: MIDIDestinationCreate failed (" + why + ")");
        log().error("MIDIDestinationCreate failed: {}", why);
        return;
    }
    running_ = true;
    status(std::string("Serato in: MIDI destination '") + kEndpointName + "' up");
    log().info("virtual MIDI destination '{}' up", kEndpointName);
}

// ---------------------------------------------------------------------------------------------------------
// Bytes

void SeratoMIDIIn::receive(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) parse(b);
}

void SeratoMIDIIn::parse(uint8_t byte) {
    const auto e = parser_.feed(byte);
    if (e.kind == MidiByteParser::Event::Kind::sysex) {
        handleSysex(e.sysex);
    } else if (e.kind == MidiByteParser::Event::Kind::channel) {
        const uint8_t kind = e.status & 0xF0;
        const int channel = e.status & 0x0F;
        if (kind == 0xB0)
            handleCC(channel, e.data1, e.data2);
        else if (kind == 0x80 || kind == 0x90)
            handleNote(kind, channel, e.data1, e.data2);
        // Aftertouch, program change, channel pressure and pitch bend carry nothing for a deck.
    }
}

void SeratoMIDIIn::handleNote(uint8_t kind, int channel, uint8_t note, uint8_t velocity) {
    const auto out = feedback_.note(kind, channel, note, velocity);
    for (int i = 0; i < out.logCount; ++i) log().info("{}", out.logs[i]);
    dispatch(out.event);
}

void SeratoMIDIIn::handleCC(int channel, uint8_t cc, uint8_t value) {
    const auto out = feedback_.controller(channel, cc, value);
    for (int i = 0; i < out.logCount; ++i) log().info("{}", out.logs[i]);
    dispatch(out.event);
}

void SeratoMIDIIn::dispatch(const SeratoFeedback::Event& e) {
    using K = SeratoFeedback::Event::Kind;
    const int deck = e.deck, slot = e.slot;
    const double value = e.value;
    switch (e.kind) {
        case K::none: return;
        case K::startStop:
            postMain([deck, p = e.play](SeratoMIDIIn& s) { if (s.onStartStop) s.onStartStop(deck, p); });
            return;
        case K::mute:
            postMain([deck, on = e.on](SeratoMIDIIn& s) { if (s.onMute) s.onMute(deck, on); });
            return;
        case K::cueSet:
            postMain([deck, slot, on = e.on, v = e.velocity](SeratoMIDIIn& s) {
                if (s.onCueSet) s.onCueSet(deck, slot, on, v);
            });
            return;
        case K::cueColor:
            postMain([deck, slot, hex = e.hex](SeratoMIDIIn& s) { if (s.onCueColor) s.onCueColor(deck, slot, hex); });
            return;
        case K::pitch:
            postMain([deck, value](SeratoMIDIIn& s) { if (s.onPitch) s.onPitch(deck, value); });
            return;
        case K::cueTime:
            postMain([deck, slot, value](SeratoMIDIIn& s) { if (s.onCueTime) s.onCueTime(deck, slot, value); });
            return;
        case K::bpm:
            postMain([deck, value](SeratoMIDIIn& s) { if (s.onBPM) s.onBPM(deck, value); });
            return;
        case K::progress:
            postMain([deck, value](SeratoMIDIIn& s) { if (s.onProgress) s.onProgress(deck, value); });
            return;
        case K::songChanged:
            postMain([deck](SeratoMIDIIn& s) { if (s.onSongChanged) s.onSongChanged(deck); });
            return;
    }
}

void SeratoMIDIIn::handleSysex(std::span<const uint8_t> message) {
    SysexRouter::Context ctx;
    ctx.now = uptime_.now();
    ctx.ccDeck = feedback_.ccDeck;
    ctx.lastChangedDeck = feedback_.lastChangedDeck;
    ctx.capture = SeratoCapture::captureEnabled();
    auto r = router_.route(message, ctx);
    for (const auto& line : r.logs) log().info("{}", line);
    if (r.capture) SeratoCapture::captureRecord(message, ctx.now);

    using K = SysexRouter::Route::Kind;
    switch (r.kind) {
        case K::none: return;
        case K::time:
            postMain([deck = r.deck, sec = r.seconds](SeratoMIDIIn& s) { if (s.onTime) s.onTime(deck, sec); });
            return;
        case K::path:
            postMain([deck = r.deck, text = std::move(r.text)](SeratoMIDIIn& s) {
                if (s.onPath) s.onPath(deck, text);
            });
            return;
        case K::text:
            postMain([deck = r.deck, slot = r.slot, text = std::move(r.text)](SeratoMIDIIn& s) {
                if (s.onText) s.onText(deck, slot, text);
            });
            return;
        case K::platter:
            if (onPlatter) onPlatter(*r.platter);
            return;
        case K::screenWave:
            postMain([wave = std::move(*r.wave)](SeratoMIDIIn& s) { if (s.onScreenWave) s.onScreenWave(wave); });
            return;
        case K::otherFrame:
            if (onOtherRaneFrame) onOtherRaneFrame(message);
            return;
    }
}

}  // namespace plindo::serato
