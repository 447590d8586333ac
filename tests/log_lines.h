#pragma once
// Collects what one log category writes while it lives.
#include "platform/log.h"

#include <spdlog/sinks/ringbuffer_sink.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace plindo::testing {

class LogLines {
public:
    explicit LogLines(const char* category) : logger_(platform::logger(category)) { logger_.sinks().push_back(sink_); }
    ~LogLines() {
        auto& s = logger_.sinks();
        s.erase(std::remove(s.begin(), s.end(), sink_), s.end());
    }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (const auto& m : sink_->last_raw()) out.emplace_back(m.payload.data(), m.payload.size());
        return out;
    }
    // Lines equal to `text`.
    int count(const std::string& text) {
        const auto l = lines();
        return static_cast<int>(std::count(l.begin(), l.end(), text));
    }
    bool hasPrefix(const std::string& prefix) {
        const auto l = lines();
        return std::any_of(l.begin(), l.end(), [&](const std::string& x) { return x.rfind(prefix, 0) == 0; });
    }
    // Lines that contain `text`.
    int containing(const std::string& text) {
        const auto l = lines();
        return static_cast<int>(std::count_if(l.begin(), l.end(), [&](const std::string& x) { return x.find(text) != std::string::npos; }));
    }

private:
    spdlog::logger& logger_;
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_ = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096);
};

}  // namespace plindo::testing
