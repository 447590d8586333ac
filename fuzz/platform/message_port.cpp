// The message port's request frames over any packet: a frame read gives back the same packet when written
// again, and its data lies inside the packet.
#include "platform/message_port.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::platform;
    const std::span<const uint8_t> packet(data, size);
    const auto request = readPortRequest(packet);
    if (!request) {
        if (size >= 5) std::abort();
        return 0;
    }
    if (request->data.data() < data || request->data.data() + request->data.size() != data + size) std::abort();
    const auto again = portRequestFrame(request->msgid, request->wantsReply, request->data);
    // Only bit 0 of the flags byte means anything; the rest is written as 0.
    std::vector<uint8_t> expected(packet.begin(), packet.end());
    expected[4] &= 1;
    if (again != expected) std::abort();
    return 0;
}
