// Arbitrary bytes through the Rane library and screen decoders, and through SysEx reassembly in random cuts
// with every message it completes decoded again.
#include "platform/log.h"
#include "serato/rane_library_decoder.h"
#include "serato/rane_screen_event.h"
#include "serato/serato_spy_transport.h"
#include "serato/sysex_assembler.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::serato;
    static const bool quiet = [] {  // the decoder's diagnostics would drown the run
        plindo::platform::setLogFolder("");
        plindo::platform::logger("serato.tap").set_level(spdlog::level::err);
        return true;
    }();
    (void)quiet;
    const std::span<const uint8_t> in(data, size);
    (void)RaneLibraryDecoder::decode(in);
    (void)RaneScreenEvent::decode(in);
    (void)RaneLibraryDecoder::utf16Text(in, size / 3, size);
    (void)RaneScreenEvent::screenText(in, 1);
    (void)RaneScreenEvent::unpackSeptetsMSB(in);
    (void)RaneScreenEvent::unpackHeaderBits(in);
    (void)SeratoSpyTransport::deliveryBytes(in);

    // The first byte picks the cut length, so messages split across feeds in many ways.
    SysExAssembler assembler;
    const size_t cut = size ? size_t(data[0] % 17) + 1 : 1;
    for (size_t at = 0; at < size; at += cut) {
        for (const auto& m : assembler.feed(in.subspan(at, std::min(cut, size - at)))) {
            (void)RaneScreenEvent::decode(m);
            (void)RaneLibraryDecoder::decode(m);
        }
    }
    return 0;
}
