#pragma once
// printf formatting into a std::string, for the readouts whose texts are printf formats.
#include <cstdio>
#include <string>

namespace plindo::ui {

template <typename... Args>
std::string printfText(const char* format, Args... args) {
    char small[128];
    const int n = std::snprintf(small, sizeof small, format, args...);
    if (n < 0) return {};
    if (size_t(n) < sizeof small) return std::string(small, size_t(n));
    std::string out(size_t(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, args...);
    out.resize(size_t(n));
    return out;
}

}  // namespace plindo::ui
