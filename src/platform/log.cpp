#include "platform/log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace plindo::platform {

namespace {
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
    std::vector<spdlog::sink_ptr> sinks;
    bool sinksMade = false;
    std::string folder = stateFolder();
};

Registry& registry() {
    static auto* r = new Registry;  // outlives every static that may log at exit
    return *r;
}

void makeSinks(Registry& r) {
    if (r.sinksMade) return;
    r.sinksMade = true;
    r.sinks.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    if (r.folder.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(r.folder, ec);
    try {
        r.sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(r.folder + "/plindo.log", 4 << 20, 3));
    } catch (const spdlog::spdlog_ex&) {
        // An unwritable state folder leaves stderr only.
    }
}
}  // namespace

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
    makeSinks(r);
    auto l = std::make_shared<spdlog::logger>(std::string(category), r.sinks.begin(), r.sinks.end());
    l->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
    auto& ref = *l;
    r.loggers.emplace(std::string(category), std::move(l));
    return ref;
}

}  // namespace plindo::platform
