#include "link/shared_logo.h"

#include "platform/base64.h"

#include <chrono>
#include <cmath>

namespace plindo::link::SharedLogo {

std::vector<std::string> chunks(std::span<const std::uint8_t> bytes) {
    const std::string text = platform::base64Encode(bytes);
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size(); at += kChunkChars) out.push_back(text.substr(at, kChunkChars));
    return out;
}

double wallClockMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::optional<double> leadMs(double generation, double nowMs) {
    if (!std::isfinite(generation) || !(generation > nowMs + kMaxLeadMs)) return std::nullopt;
    return generation - nowMs;
}

std::optional<std::vector<std::uint8_t>> Assembler::add(double generation, int index, int chunkCount,
                                                         std::string_view chunk, double nowMs) {
    // A NaN generation compares neither older nor newer and would slip into the current set; a huge count
    // would have us store parts up to it.
    if (!std::isfinite(generation) || chunkCount < 0 || chunkCount > kMaxChunks) return std::nullopt;
    if (leadMs(generation, nowMs)) return std::nullopt;

    if (gen > generation) return std::nullopt;
    if (generation > gen) {
        gen = generation;
        parts.clear();
        count = chunkCount;
    }
    if (chunkCount == 0) return std::vector<std::uint8_t>{};
    if (index < 0 || index >= chunkCount) return std::nullopt;
    if (count != chunkCount) return std::nullopt;

    parts[index] = chunk;
    if (parts.size() < static_cast<size_t>(count)) return std::nullopt;

    std::string joined;
    for (const auto& [i, text] : parts) joined += text;  // the map holds exactly 0 ... count-1, in order
    parts.clear();
    return platform::base64Decode(joined);
}

std::vector<std::string> selfTest() {
    std::vector<std::string> failures;

    std::vector<std::uint8_t> bytes(20000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
    const auto cut = chunks(bytes);
    if (cut.size() < 2) failures.push_back("logo chunks " + std::to_string(cut.size()));

    Assembler a;
    std::optional<std::vector<std::uint8_t>> got;
    const int n = static_cast<int>(cut.size());
    for (int i = n - 1; i >= 0; --i) {
        if (auto r = a.add(2, i, n, cut[static_cast<size_t>(i)])) got = std::move(r);
    }
    if (!got || *got != bytes) failures.push_back("logo roundtrip");

    if (!cut.empty() && a.add(1, 0, 1, cut[0])) failures.push_back("alte Generation angenommen");

    auto reset = a.add(3, 0, 0, "");
    if (!reset || !reset->empty()) failures.push_back("reset");

    return failures;
}

}  // namespace plindo::link::SharedLogo
