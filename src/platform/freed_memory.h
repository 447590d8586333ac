#pragma once
// Giving freed memory back to the system. The allocator keeps the pages of large frees (a decoded track,
// the decoder's work buffers) for reuse, so a host that unloaded its decks would go on holding them.

namespace plindo::platform {

// Returns the free pages of every allocator arena to the system. Takes a few milliseconds on a large heap:
// call it after a large free, off the audio thread.
void returnFreedMemory();

}  // namespace plindo::platform
