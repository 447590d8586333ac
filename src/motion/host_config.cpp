#include "motion/host_config.h"

#include "platform/checked.h"
#include "platform/url.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace plindo::motion {

namespace {

constexpr const char* kDefaultGuiBase = "http://127.0.0.1:17600";

std::string deckKey(const char* prefix, int deck) { return prefix + std::to_string(deck); }

std::string userHome() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

}  // namespace

HostConfig::HostConfig(platform::Settings& d, std::string homeFolder)
    : d_(d), homeFolder_(homeFolder.empty() ? userHome() : std::move(homeFolder)) {}

bool HostConfig::shareTracks(int deck) const {
    return d_.boolValue(deckKey("orv.shareTracks.", deck)).value_or(true);
}

void HostConfig::setShareTracks(int deck, bool on) {
    d_.setValue(deckKey("orv.shareTracks.", deck), on);
    publishChange();
}

bool HostConfig::anyDeckSharesTracks() const {
    for (int deck = 1; deck <= 4; ++deck) {
        if (shareTracks(deck)) return true;
    }
    return false;
}

void HostConfig::setGroupSlot(int deck, int64_t slot) {
    d_.setValue(deckKey("orv.groupSlot.", deck), slot);
    publishChange();
}

bool HostConfig::followEase() const { return d_.boolValue("orv.followEase").value_or(true); }

void HostConfig::setFollowEase(bool on) {
    d_.setValue("orv.followEase", on);
    publishChange();
}

bool HostConfig::mePlayhead() const { return d_.boolValue("orv.mePlayhead").value_or(false); }

void HostConfig::setMePlayhead(bool on) {
    d_.setValue("orv.mePlayhead", on);
    publishChange();
}

int HostConfig::meOscPort() const {
    const int64_t port = d_.intValue("orv.meOscPort").value_or(0);
    return port > 0 && port <= 65535 ? int(port) : defaultMeOscPort;
}

std::optional<std::string> HostConfig::deviceUID(int deck) const {
    return d_.stringValue(deckKey("orv.devUID.", deck));
}

void HostConfig::setDeviceUID(int deck, const std::string& uid) { d_.setValue(deckKey("orv.devUID.", deck), uid); }

std::string HostConfig::libraryFolder() const {
    if (auto s = d_.stringValue("orv.libraryFolder")) return *s;
    return homeFolder_ + (homeFolder_.ends_with('/') ? "Music" : "/Music");
}

void HostConfig::setLibraryFolderPath(const std::string& path) {
    d_.setValue("orv.libraryFolder", path);
    publishChange();
}

double HostConfig::stillGate() const {
    const double g = d_.doubleValue("orv.stillGate").value_or(0.0);
    return g > 0 ? g : defaultStillGate;  // NaN fails the comparison too
}

std::string HostConfig::guiBase() const {
    const std::string stored = d_.stringValue("orv.guiBase").value_or("");
    const auto first = stored.find_first_not_of(" \t");
    if (first == std::string::npos) {
        const int own = ownServerPort_.load();
        return own > 0 ? "http://127.0.0.1:" + std::to_string(own) : kDefaultGuiBase;
    }
    const auto last = stored.find_last_not_of(" \t");
    return stored.substr(first, last - first + 1);
}

std::optional<std::string> HostConfig::trackServerURL(const char* route, const std::string& path) const {
    auto parts = platform::parseUrl(guiBase() + route);
    if (!parts) return std::nullopt;
    // "+" and every other reserved byte are escaped: the track server reads a raw "+" as a blank.
    parts->query = "path=" + platform::percentEncodeQueryValue(path);
    return parts->text();
}

std::optional<std::string> HostConfig::audioStreamURL(const std::string& path) const {
    return trackServerURL("/audio/stream", path);
}
std::optional<std::string> HostConfig::coverArtURL(const std::string& path) const {
    return trackServerURL("/cover_art", path);
}
std::optional<std::string> HostConfig::tagsURL(const std::string& path) const { return trackServerURL("/tags", path); }
std::optional<std::string> HostConfig::deckMetaURL(const std::string& path) const {
    return trackServerURL("/deck/meta", path);
}

int HostConfig::addChangeListener(std::function<void()> f) {
    std::lock_guard lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_.emplace_back(id, std::move(f));
    return id;
}

void HostConfig::removeChangeListener(int id) {
    std::lock_guard lock(listenersMutex_);
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void HostConfig::publishChange() {
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard lock(listenersMutex_);
        for (const auto& l : listeners_) calls.push_back(l.second);
    }
    for (const auto& f : calls) f();
}

ValueCell& HostConfig::signFlipMask(const platform::Settings& source) {
    static ValueCell mask(static_cast<double>(source.intValue("plindo.signFlips").value_or(0)));
    return mask;
}

bool HostConfig::maskHasBit(double mask, uint8_t bit) {
    if (bit >= 64) return false;
    const auto bits = platform::checkedInt64(mask);
    if (!bits) return false;
    return (static_cast<uint64_t>(*bits) >> bit) & 1u;
}

bool HostConfig::signFlip(uint8_t bit) const { return maskHasBit(signFlipMask(d_).value(), bit); }

}  // namespace plindo::motion
