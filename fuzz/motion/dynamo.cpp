// Any bytes into the diagnostics record decoder: never a crash, and an accepted record never claims more
// list entries than its bytes could carry.
#include "motion/dynamo_gate.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    using namespace plindo::motion;
    auto f = DynamoGate::decode(std::span<const std::uint8_t>(data, size), 1000.0);
    if (f) {
        const size_t carried = f->frame.size() * 8 + f->fired.size() * 29 + f->tail.size() * 18;
        if (size < 244 || carried > size - 244) std::abort();
    }
    return 0;
}
