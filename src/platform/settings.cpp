#include "platform/settings.h"

#include "platform/bounded_json.h"
#include "platform/checked.h"
#include "platform/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace plindo::platform {

namespace {

// Aside names tried for a corrupt file before giving up on writing at all.
constexpr int kMaxAsideNames = 100;
// Links followed from the settings path to the file written, as the kernel allows.
constexpr int kMaxLinkHops = 40;
// A settings file is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxFileBytes = kMaxJsonBytes;
// mkstemp's suffix: six letters or digits.
constexpr size_t kTempSuffix = 6;

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

// The file a write of `path` lands in: symbolic links followed to their end, which need not exist yet. The
// path itself when the links loop or cannot be read (the write then fails and says why).
std::string linkTarget(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path p(path);
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p.string();
        std::error_code ec;
        const fs::path to = fs::read_symlink(p, ec);
        if (ec) return path;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    return path;
}

bool isTempSuffix(std::string_view s) {
    return s.size() == kTempSuffix &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

void fsyncFolder(const std::string& folder, const FileSettings::FileOps& ops) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ops.fsync(fd);
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

FileSettings::FileSettings(std::string path, FileOps ops) : path_(std::move(path)), ops_(std::move(ops)) {
    if (!ops_.fsync) ops_.fsync = ::fsync;
    if (!ops_.rename) ops_.rename = ::rename;
    removeStaleTemporaries(linkTarget(path_));
    load();
}

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
    // Non-blocking: a FIFO at the path must not hold start-up until someone writes into it.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return;  // no file yet: defaults
        settingsLog().error("cannot read {}: {}; using defaults, and changes are kept in memory only", path_,
                            std::strerror(err));
        unreadable_ = true;
        return;
    }
    std::string text;
    int err = 0;
    bool tooLarge = false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        settingsLog().error("{} is not a regular file; using defaults, and changes are kept in memory only", path_);
        unreadable_ = true;
    } else {
        char buf[1 << 14];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                err = errno;
                break;
            }
            if (n == 0) break;
            if (text.size() + static_cast<size_t>(n) > kMaxFileBytes) {
                tooLarge = true;  // no settings file of ours grows this large: damaged
                break;
            }
            text.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (err != 0) {
        settingsLog().error("cannot read {}: {}; using defaults, and changes are kept in memory only", path_,
                            std::strerror(err));
        unreadable_ = true;
    }
    if (unreadable_) return;
    auto parsed = tooLarge ? std::nullopt : parseBoundedJson(text);
    if (!parsed || !parsed->is_object()) {
        struct stat link {};
        if (::lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            // A link to a file that is not ours: that file is left alone, and settings.json becomes a file of
            // its own at the next write.
            settingsLog().error("{} links to {}, which is not a settings file; it is left as it is, and a new "
                                "settings file is written in place of the link",
                                path_, linkTarget(path_));
            replaceLink_ = true;
            return;
        }
        settingsLog().error("{} is not a settings object; using defaults, the file is kept aside before the next write",
                    path_);
        corruptOnDisk_ = true;
        return;
    }
    data_ = std::move(*parsed);
}

void FileSettings::removeStaleTemporaries(const std::string& target) {
    // A run killed between creating its temporary and renaming it leaves "settings.json.XXXXXX" behind.
    namespace fs = std::filesystem;
    const fs::path t(target);
    const std::string prefix = t.filename().string() + ".";
    std::error_code ec;
    for (fs::directory_iterator it(t.parent_path().empty() ? fs::path(".") : t.parent_path(), ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix) || !isTempSuffix(std::string_view(name).substr(prefix.size()))) continue;
        std::error_code kindEc;
        if (!it->is_regular_file(kindEc) || it->is_symlink(kindEc)) continue;
        if (std::filesystem::remove(it->path(), kindEc)) settingsLog().info("removed {} left by an interrupted write", it->path().string());
    }
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

bool FileSettings::keepCorruptAside(const std::string& target) {
    for (int i = 0; i < kMaxAsideNames; ++i) {
        const std::string aside = target + ".corrupt" + (i == 0 ? std::string() : "." + std::to_string(i));
        // A hard link never replaces an existing file, so an older kept copy survives.
        if (::link(target.c_str(), aside.c_str()) == 0) {
            settingsLog().warn("kept the unreadable settings file as {}", aside);
            return true;
        }
        if (errno == EEXIST) continue;
        if (errno == ENOENT) return true;  // it went away meanwhile: nothing to keep
        // File systems without hard links: copy, refusing to replace.
        std::error_code ec;
        if (std::filesystem::copy_file(target, aside, std::filesystem::copy_options::none, ec)) {
            settingsLog().warn("kept the unreadable settings file as {}", aside);
            return true;
        }
        if (ec == std::errc::file_exists) continue;
        settingsLog().error("cannot keep the unreadable settings file {} aside: {}; changes stay in memory", target,
                    ec.message());
        return false;
    }
    settingsLog().error("too many kept settings files next to {}; changes stay in memory", target);
    return false;
}

bool FileSettings::save() {
    if (unreadable_) return false;  // said once at load
    // Through a link, the link stays and its target gets the new contents.
    const std::string target = replaceLink_ ? path_ : linkTarget(path_);
    const std::filesystem::path p(target);
    const std::string folder = p.parent_path().string();
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);  // a failure shows at mkstemp

    if (corruptOnDisk_) {
        if (!keepCorruptAside(target)) return false;
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

    std::string tmp = target + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        settingsLog().error("cannot write {}: {}", target, std::strerror(errno));
        return false;
    }
    ::fchmod(fd, 0644);
    int err = 0;
    if (!writeAll(fd, bytes) || ops_.fsync(fd) != 0) err = errno;
    ::close(fd);
    if (err == 0 && ops_.rename(tmp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        settingsLog().error("cannot write {}: {}", target, std::strerror(err));
        ::unlink(tmp.c_str());
        return false;
    }
    fsyncFolder(folder, ops_);
    return true;
}

}  // namespace plindo::platform
