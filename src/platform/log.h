#pragma once
// One named logger per component category ("file-server", "serato-midi", ...): stderr plus a rotating file
// under $XDG_STATE_HOME/plindo/. Never call from a real-time thread.
#include <spdlog/spdlog.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plindo::platform {

spdlog::logger& logger(std::string_view category);

// Where the log file goes; tests point it at a temporary folder or disable it with an empty path.
void setLogFolder(const std::string& folder);

// $XDG_STATE_HOME/plindo (or ~/.local/state/plindo).
std::string stateFolder();

// Writes out what the log still holds back: the last lines before the program ends.
void flushLog();

// What every category writes through: stderr and, given a folder, the rotating "plindo.log" in it. A message
// stays one line: its control characters and bytes that are not UTF-8 are escaped, so that text from the
// network can neither forge lines nor drive the terminal. Warnings and errors reach the file at once, every
// other line within a second. logger() uses one process-wide set that lives until the end; tests make their
// own.
class LogSinks {
public:
    static constexpr double kFlushEverySec = 1.0;

    explicit LogSinks(const std::string& folder, bool toStderr = true);
    ~LogSinks();  // stops the flushing thread
    LogSinks(const LogSinks&) = delete;
    LogSinks& operator=(const LogSinks&) = delete;

    std::shared_ptr<spdlog::logger> makeLogger(std::string category) const;
    void flush();

private:
    void flushUntilStopped();

    std::vector<spdlog::sink_ptr> sinks_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread flusher_;
};

}  // namespace plindo::platform
