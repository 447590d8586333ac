// The drain tick runs on a real-time thread every millisecond: it must not allocate. Counts allocations made
// on this thread while counting is switched on (this executable's global operator new).
#include "serato/serato_midi_out.h"

#include "midi_out_rig.h"

#include <gtest/gtest.h>


#include "alloc_counter.h"

namespace plindo::serato {
namespace {

using testing::angleOf;

TEST(SeratoMIDIOutDrain, ATickAllocatesNothing) {
    // The counter sees allocations at all (through a volatile pointer: an optimiser may drop a bare
    // `delete new int`).
    tAllocs = 0;
    tCounting = true;
    int* volatile probe = new int(1);
    delete probe;
    tCounting = false;
    ASSERT_EQ(tAllocs, 1);
    tAllocs = 0;

    for (uint8_t format : {SeratoOutFormat::twelve, SeratoOutFormat::jog, SeratoOutFormat::rel}) {
        testing::OutRig rig(format);
        rig.settings.tuning.store(SeratoEmit::Tuning::defaults());
        rig.backend.setRecordLimit(0);  // the loopback only counts, so what is measured is the drain
        rig.out.setActive(1, true);
        rig.out.setActive(2, true);
        rig.settings.engaged[0] = true;
        rig.settings.engaged[1] = true;
        double ts = 10, ticks = 0;
        long allocs = 0;
        const double start = rig.clock.now();
        for (int frame = 0; frame < 190; ++frame) {
            ts += 0.010;
            ticks += 20;
            const SeratoEmit::Sample s{angleOf(ticks), ts};
            rig.out.feed(1, std::span(&s, 1), 1.0);
            // Deck 2 driven directly: its sub-steps wait in the jog queue for the drain.
            rig.out.drive(2, true, angleOf(ticks), ts, 0);
            for (int k = 0; k < 10; ++k) {
                rig.clock.advance(0.001);
                // Outside the second in which the rate report is due (its line is logged off the tick).
                const bool counted = rig.clock.now() - start > 1.1;
                tAllocs = 0;
                tCounting = counted;
                rig.out.drainTick();
                tCounting = false;
                allocs += tAllocs;
            }
        }
        EXPECT_EQ(allocs, 0) << "format " << int(format);
        EXPECT_GT(rig.backend.sentCount(), 150u) << "format " << int(format);
    }
}

}  // namespace
}  // namespace plindo::serato
