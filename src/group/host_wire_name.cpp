#include "group/host_wire_name.h"

#include "platform/uuid.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>

namespace plindo::group {

namespace {

constexpr const char* kMachineInfo = "/etc/machine-info";
constexpr const char* kSuffixKey = "plindo.wireSuffix";
constexpr size_t kSuffixLength = 4;

// Undoes the shell quoting that machine-info values may carry ("…" with backslash escapes, or '…').
std::string unquote(std::string_view v) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0; else out += c;
        } else if (c == '\\' && i + 1 < v.size()) {
            out += v[++i];
        } else if (quote == '"') {
            if (c == '"') quote = 0; else out += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> prettyHostName(std::string_view machineInfo) {
    std::optional<std::string> found;
    size_t start = 0;
    while (start < machineInfo.size()) {
        size_t end = machineInfo.find('\n', start);
        if (end == std::string_view::npos) end = machineInfo.size();
        std::string_view line = machineInfo.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.starts_with(key)) found = unquote(line.substr(key.size()));  // the last assignment wins
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::string computerName() {
    std::ifstream in(kMachineInfo);
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        if (auto pretty = prettyHostName(text.str())) return *pretty;
    }
    std::array<char, HOST_NAME_MAX + 1> buf{};
    if (::gethostname(buf.data(), buf.size() - 1) == 0 && buf[0] != '\0') return buf.data();
    return "Mac";
}

std::string composeHostWireName(const std::string& name, platform::Settings& settings,
                                const std::function<std::string()>& newUuidText) {
    std::string suffix = settings.stringValue(kSuffixKey).value_or("");
    if (suffix.empty()) {
        suffix = newUuidText().substr(0, kSuffixLength);
        settings.setValue(kSuffixKey, suffix);
    }
    return name + "-" + suffix;
}

const std::string& hostWireName(platform::Settings& settings) {
    static std::once_flag once;
    static std::string name;
    std::call_once(once, [&] { name = composeHostWireName(computerName(), settings, platform::randomUuid); });
    return name;
}

}  // namespace plindo::group
