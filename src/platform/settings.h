#pragma once
// The user's settings: typed values that can be told apart from "nothing stored". The file store keeps one
// JSON object in $XDG_CONFIG_HOME/plindo/settings.json, written atomically; the memory store serves tests.
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plindo::platform {

class Settings {
public:
    virtual ~Settings() = default;

    // The stored value, or none when the key holds nothing.
    virtual std::optional<nlohmann::json> value(const std::string& key) const = 0;
    // Storing null is the same as removing the key.
    virtual void setValue(const std::string& key, const nlohmann::json& v) = 0;
    virtual void remove(const std::string& key) = 0;

    // Typed reads: none when nothing is stored or the stored value has another type. A bool read accepts a
    // stored number (non-zero is true); a number read accepts a stored bool.
    std::optional<bool> boolValue(const std::string& key) const;
    std::optional<double> doubleValue(const std::string& key) const;
    std::optional<int64_t> intValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;

    // Called after every change, with the key, on the thread that made it and never under the store's lock.
    // Returns an id for removal.
    int addChangeListener(std::function<void(const std::string& key)> f);
    void removeChangeListener(int id);

protected:
    void notifyChanged(const std::string& key);

private:
    mutable std::mutex listenersMutex_;
    std::vector<std::pair<int, std::function<void(const std::string&)>>> listeners_;
    int nextListener_ = 1;
};

// Settings kept in memory only.
class MemorySettings final : public Settings {
public:
    std::optional<nlohmann::json> value(const std::string& key) const override;
    void setValue(const std::string& key, const nlohmann::json& v) override;
    void remove(const std::string& key) override;

private:
    mutable std::mutex mutex_;
    nlohmann::json data_ = nlohmann::json::object();
};

// Settings in a JSON file. A missing file gives defaults; a corrupt one gives defaults and a log line, and is
// kept aside (renamed with a ".corrupt" suffix, or ".corrupt.N" when that name is taken) before the first write
// so the user's keys are never lost; when it cannot be moved aside, changes stay in memory only. A file that
// exists but cannot be read (no permission, not a regular file) is never replaced: its defaults and changes
// stay in memory. A path that is a symbolic link is written through to the link's target, unless that target holds
// no settings: then it is left alone and the link is replaced by a file of our own. Temporary files
// that an earlier run left behind when it was killed mid-write are removed at start.
class FileSettings final : public Settings {
public:
    // The calls that make a write durable: the new contents reach the disk before they replace the old,
    // and the replacement reaches the disk after. Tests watch them; an empty one is the system's.
    struct FileOps {
        std::function<int(int fd)> fsync;
        std::function<int(const char* from, const char* to)> rename;
    };

    explicit FileSettings(std::string path, FileOps ops = {});
    std::optional<nlohmann::json> value(const std::string& key) const override;
    void setValue(const std::string& key, const nlohmann::json& v) override;
    void remove(const std::string& key) override;

    const std::string& path() const { return path_; }
    // $XDG_CONFIG_HOME/plindo/settings.json (or ~/.config/plindo/settings.json).
    static std::string defaultPath();

private:
    void load();
    bool save();  // temp file + fsync + rename, under mutex_; false after logging why
    bool keepCorruptAside(const std::string& target);
    void removeStaleTemporaries(const std::string& target);

    std::string path_;
    FileOps ops_;
    mutable std::mutex mutex_;
    nlohmann::json data_ = nlohmann::json::object();
    // The file on disk could not be read as settings; it is moved aside before anything replaces it.
    bool corruptOnDisk_ = false;
    // The file exists but could not be read: it is left as it is.
    bool unreadable_ = false;
    // The path is a link to a file that holds no settings: writes replace the link, never its target.
    bool replaceLink_ = false;
};

}  // namespace plindo::platform
