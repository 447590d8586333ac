#include "platform/log.h"

#include "platform/text.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace plindo::platform {

namespace {

// The message, escaped: the one place where every line's outside text is made safe.
class EscapedMessage final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
        const std::string line = text::escapeControls(std::string_view(msg.payload.data(), msg.payload.size()));
        dest.append(line.data(), line.data() + line.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<EscapedMessage>(); }
};

std::unique_ptr<spdlog::formatter> lineFormatter() {
    auto f = std::make_unique<spdlog::pattern_formatter>();
    f->add_flag<EscapedMessage>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %*");
    return f;
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
    std::unique_ptr<LogSinks> sinks;
    std::string folder = stateFolder();
};

Registry& registry() {
    static auto* r = new Registry;  // outlives every static that may log at exit
    return *r;
}

}  // namespace

LogSinks::LogSinks(const std::string& folder, bool toStderr) {
    if (toStderr) sinks_.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    bool toFile = false;
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        try {
            sinks_.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(folder + "/plindo.log", 4 << 20, 3));
            toFile = true;
        } catch (const spdlog::spdlog_ex&) {
            // An unwritable state folder leaves stderr only.
        }
    }
    for (auto& s : sinks_) s->set_formatter(lineFormatter());
    if (toFile) flusher_ = std::thread([this] { flushUntilStopped(); });  // stderr holds nothing back
}

LogSinks::~LogSinks() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    flush();
}

std::shared_ptr<spdlog::logger> LogSinks::makeLogger(std::string category) const {
    auto l = std::make_shared<spdlog::logger>(std::move(category), sinks_.begin(), sinks_.end());
    l->flush_on(spdlog::level::warn);
    return l;
}

void LogSinks::flush() {
    for (auto& s : sinks_) {
        try {
            s->flush();
        } catch (const spdlog::spdlog_ex&) {
            // A full disk: the lines wait for the next flush.
        }
    }
}

void LogSinks::flushUntilStopped() {
    pthread_setname_np(pthread_self(), "plindo.logflush");
    const auto period = std::chrono::duration<double>(kFlushEverySec);
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
        lock.unlock();
        flush();
        lock.lock();
    }
}

std::string stateFolder() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/plindo";
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/state/plindo";
    return {};
}

void setLogFolder(const std::string& folder) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.folder = folder;
}

spdlog::logger& logger(std::string_view category) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.loggers.find(category); it != r.loggers.end()) return *it->second;
    if (!r.sinks) r.sinks = std::make_unique<LogSinks>(r.folder);
    auto l = r.sinks->makeLogger(std::string(category));
    auto& ref = *l;
    r.loggers.emplace(std::string(category), std::move(l));
    return ref;
}

void flushLog() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.sinks) r.sinks->flush();
}

}  // namespace plindo::platform
