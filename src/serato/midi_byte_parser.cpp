#include "serato/midi_byte_parser.h"

namespace plindo::serato {

MidiByteParser::Event MidiByteParser::feed(uint8_t b) {
    if (sysexDone) {
        sysex.clear();  // keeps the capacity
        sysexDone = false;
    }
    if (!sysex.empty()) {
        if (b == 0xF7) {
            sysex.push_back(b);
            sysexDone = true;
            return {Event::Kind::sysex, 0, 0, 0, sysex};
        }
        if (b >= 0xF8) return {};  // real-time: the SysEx stays open
        if (b < 0x80) {
            if (sysex.size() >= kMaxSysex)
                sysex.clear();  // over-long: dropped whole; its tail is stray data and is ignored below
            else
                sysex.push_back(b);
            return {};
        }
        sysex.clear();  // a status byte abandons the SysEx and starts its own message
    }
    if (b == 0xF0) {
        sysex.push_back(b);
        // A SysEx cancels running status, so the tail of one dropped as over-long is never read as notes.
        status = 0;
        dataLen = 0;
        return {};
    }
    if (b >= 0xF8) return {};
    if (b >= 0xF1) {  // system common (and a stray F7)
        status = 0;
        dataLen = 0;
        return {};
    }
    if (b >= 0x80) {
        status = b;
        dataLen = 0;
        return {};
    }
    if (status == 0) return {};
    data[dataLen++] = b;
    const uint8_t kind = status & 0xF0;
    if (kind == 0xC0 || kind == 0xD0) {
        dataLen = 0;
        return {Event::Kind::channel, status, b, 0, {}};
    }
    if (dataLen < 2) return {};
    dataLen = 0;
    return {Event::Kind::channel, status, data[0], data[1], {}};
}

}  // namespace plindo::serato
