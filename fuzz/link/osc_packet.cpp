// Any datagram: the decoder returns messages or nothing, and whatever it returns encodes and decodes back
// to itself.
#include "link/osc.h"

#include <cstdlib>

using plindo::link::OSCMessage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto messages = OSCMessage::decodePacket(data, size);
    for (const auto& m : messages) {
        const auto bytes = OSCMessage::encode(m.address, m.args);
        const auto again = OSCMessage::decodePacket(bytes);
        // T/F/N/t/S decode to the five written kinds, so a decoded message always survives a round trip.
        if (again.size() != 1 || !(again[0] == m)) std::abort();
    }
    return 0;
}
