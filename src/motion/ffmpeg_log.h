#pragma once
// FFmpeg's messages go through the program's log, category "follow-load", instead of raw onto stderr: one
// line each, escaped like every other. What a damaged file makes the decoders say is debug detail (the
// decode itself tells what was lost); only FFmpeg's fatal messages are errors.

namespace plindo::motion {

// Installs the route, once; every user of FFmpeg calls it before its first FFmpeg call. Any thread.
void routeFFmpegLog();

}  // namespace plindo::motion
