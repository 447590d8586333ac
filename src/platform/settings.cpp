#include "platform/settings.h"

#include "platform/checked.h"
#include "platform/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace plindo::platform {

namespace {

// Aside names tried for a corrupt file before giving up on writing at all.
constexpr int kMaxAsideNames = 100;

spdlog::logger& settingsLog() { return logger("settings"); }

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void fsyncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

// ---- typed reads and listeners

std::optional<bool> Settings::boolValue(const std::string& key) const {
    const auto v = value(key);
    if (!v) return std::nullopt;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_integer()) return v->get<int64_t>() != 0;
    if (v->is_number()) return v->get<double>() != 0.0;
    return std::nullopt;
}

std::optional<double> Settings::doubleValue(const std::string& key) const {
    const auto v = value(key);
    if (!v) return std::nullopt;
    if (v->is_number()) return v->get<double>();
    if (v->is_boolean()) return v->get<bool>() ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<int64_t> Settings::intValue(const std::string& key) const {
    const auto v = value(key);
    if (!v) return std::nullopt;
    if (v->is_number_unsigned()) {
        const auto u = v->get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (v->is_number_integer()) return v->get<int64_t>();
    if (v->is_number_float()) return checkedInt64(v->get<double>());
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    return std::nullopt;
}

std::optional<std::string> Settings::stringValue(const std::string& key) const {
    const auto v = value(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

int Settings::addChangeListener(std::function<void(const std::string& key)> f) {
    std::lock_guard lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_.emplace_back(id, std::move(f));
    return id;
}

void Settings::removeChangeListener(int id) {
    std::lock_guard lock(listenersMutex_);
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void Settings::notifyChanged(const std::string& key) {
    // Copied out so a listener may add or remove listeners, or read the store, without a lock held.
    std::vector<std::function<void(const std::string&)>> calls;
    {
        std::lock_guard lock(listenersMutex_);
        calls.reserve(listeners_.size());
        for (const auto& l : listeners_) calls.push_back(l.second);
    }
    for (const auto& f : calls) f(key);
}

// ---- memory store

std::optional<nlohmann::json> MemorySettings::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto it = data_.find(key);
    if (it == data_.end() || it->is_null()) return std::nullopt;
    return *it;
}

void MemorySettings::setValue(const std::string& key, const nlohmann::json& v) {
    if (v.is_null()) {
        remove(key);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        data_[key] = v;
    }
    notifyChanged(key);
}

void MemorySettings::remove(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        data_.erase(key);
    }
    notifyChanged(key);
}

// ---- file store

FileSettings::FileSettings(std::string path) : path_(std::move(path)) { load(); }

std::string FileSettings::defaultPath() {
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') {
        base = x;
    } else if (const char* h = std::getenv("HOME"); h && *h) {
        base = std::string(h) + "/.config";
    } else {
        base = ".config";
    }
    return base + "/plindo/settings.json";
}

void FileSettings::load() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (std::filesystem::exists(path_, ec)) {
            settingsLog().error("cannot read {}: {}; using defaults", path_, std::strerror(errno));
            corruptOnDisk_ = true;
        }
        return;  // no file yet: defaults
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        settingsLog().error("{} is not a settings object; using defaults, the file is kept aside before the next write",
                    path_);
        corruptOnDisk_ = true;
        return;
    }
    data_ = std::move(parsed);
}

std::optional<nlohmann::json> FileSettings::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto it = data_.find(key);
    if (it == data_.end() || it->is_null()) return std::nullopt;
    return *it;
}

void FileSettings::setValue(const std::string& key, const nlohmann::json& v) {
    if (v.is_null()) {
        remove(key);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        data_[key] = v;
        save();
    }
    notifyChanged(key);
}

void FileSettings::remove(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (data_.erase(key) == 0) return;
        save();
    }
    notifyChanged(key);
}

bool FileSettings::keepCorruptAside() {
    for (int i = 0; i < kMaxAsideNames; ++i) {
        const std::string aside = path_ + ".corrupt" + (i == 0 ? std::string() : "." + std::to_string(i));
        // A hard link never replaces an existing file, so an older kept copy survives.
        if (::link(path_.c_str(), aside.c_str()) == 0) {
            settingsLog().warn("kept the unreadable settings file as {}", aside);
            return true;
        }
        if (errno == EEXIST) continue;
        if (errno == ENOENT) return true;  // it went away meanwhile: nothing to keep
        // File systems without hard links: copy, refusing to replace.
        std::error_code ec;
        if (std::filesystem::copy_file(path_, aside, std::filesystem::copy_options::none, ec)) {
            settingsLog().warn("kept the unreadable settings file as {}", aside);
            return true;
        }
        if (ec == std::errc::file_exists) continue;
        settingsLog().error("cannot keep the unreadable settings file {} aside: {}; changes stay in memory", path_,
                    ec.message());
        return false;
    }
    settingsLog().error("too many kept settings files next to {}; changes stay in memory", path_);
    return false;
}

bool FileSettings::save() {
    const std::filesystem::path p(path_);
    const std::string folder = p.parent_path().string();
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);

    if (corruptOnDisk_) {
        if (!keepCorruptAside()) return false;
        corruptOnDisk_ = false;
    }

    std::string bytes;
    try {
        bytes = data_.dump(2);
    } catch (const nlohmann::json::type_error&) {
        // A value that is not valid UTF-8 (a path from an odd file system) is written with replacement
        // characters rather than dropping the whole file.
        settingsLog().warn("a settings value is not valid UTF-8; writing it with replacement characters");
        bytes = data_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    bytes += '\n';

    std::string tmp = path_ + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        settingsLog().error("cannot write {}: {}", path_, std::strerror(errno));
        return false;
    }
    ::fchmod(fd, 0644);
    const bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        settingsLog().error("cannot write {}: {}", path_, std::strerror(ok ? errno : err));
        ::unlink(tmp.c_str());
        return false;
    }
    fsyncFolder(folder);
    return true;
}

}  // namespace plindo::platform
