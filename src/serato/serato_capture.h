#pragma once
// Capture files of the Rane frames the DJ application sends, for later study: "serato-rane-<yyyyMMdd-HHmmss>.bin"
// under $XDG_STATE_HOME/plindo/Logs, a plain run of records (uptime seconds as a little-endian double, the
// message length as a little-endian uint32, the message). Process-wide; the writes run in order on the serial
// queue "serato.capture", and a backlog past a fixed size is dropped rather than queued without end.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

namespace plindo::serato::SeratoCapture {

// Queued bytes beyond this are dropped (a stalled disk must not grow memory).
inline constexpr size_t kMaxBacklogBytes = 4u << 20;

// Off closes the open file (on the capture queue); on opens nothing until the next record.
void setCaptureEnabled(bool on);
bool captureEnabled();

// The file of the current capture, or of the last one after capture stopped; empty until a file was opened.
// Safe from any thread while the capture queue writes.
std::string capturePath();
// Records written to that file: 0 when it opens, one more per record written.
int64_t captureCount();

// Appends one record stamped with the system uptime now (CLOCK_MONOTONIC, which like the uptime does not
// run while the machine sleeps). False when the record was dropped at once
// (capture off is not checked here; the backlog was full).
bool captureRecord(std::span<const uint8_t> message);
bool captureRecord(std::span<const uint8_t> message, double uptime);

// The folder of the capture files; default $XDG_STATE_HOME/plindo/Logs. Tests point it elsewhere.
void setCaptureFolder(const std::string& folder);
std::string captureFolder();

// "serato-rane-yyyyMMdd-HHmmss.bin" of a moment, in local time.
std::string captureFileName(std::time_t when);

// Waits until every queued record is written (tests, shutdown).
void drain();

}  // namespace plindo::serato::SeratoCapture
