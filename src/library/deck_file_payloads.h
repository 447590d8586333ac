#pragma once
// What the track server takes from the track data subsystem: the DJ application's library lists, tag
// names, embedded artwork, the metadata document and waveform peaks.
#include "library/peaks_cache.h"
#include "library/serato_library.h"
#include "link/track_payloads.h"

namespace plindo::library {

link::TrackPayloads deckFilePayloads(SeratoLibrary& library = SeratoLibrary::shared(),
                                     PeaksCache& peaks = PeaksCache::shared());

}  // namespace plindo::library
