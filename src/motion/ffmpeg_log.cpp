#include "motion/ffmpeg_log.h"

#include "platform/log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string_view>

namespace plindo::motion {

namespace {

// Longer messages are cut; FFmpeg's own lines are far shorter.
constexpr size_t kLineBytes = 1024;

spdlog::level::level_enum levelOf(int avLevel) {
    return avLevel <= AV_LOG_FATAL ? spdlog::level::err : spdlog::level::debug;
}

// FFmpeg may call this from its own threads and from several decodes at once: the line is formatted in
// this call's own buffer, and whether the next piece starts a new line (and so gets the "[flac @ 0x…]"
// prefix) is kept per thread.
void onMessage(void* avcl, int avLevel, const char* fmt, va_list args) {
    thread_local int printPrefix = 1;
    static spdlog::logger& log = platform::logger("follow-load");
    const spdlog::level::level_enum level = levelOf(avLevel);
    if (avLevel > av_log_get_level() || !log.should_log(level)) {
        const size_t n = fmt ? std::strlen(fmt) : 0;
        printPrefix = n > 0 && fmt[n - 1] == '\n';
        return;
    }
    char line[kLineBytes] = "";
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(avcl, avLevel, fmt, copy, line, sizeof line, &printPrefix);
    va_end(copy);
    std::string_view text(line, strnlen(line, sizeof line));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (!text.empty()) log.log(level, "{}", text);
}

}  // namespace

void routeFFmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(onMessage); });
}

}  // namespace plindo::motion
