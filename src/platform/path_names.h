#pragma once
// The name parts of a track path as the track server and the loader read them: the last component and its
// extension. Text only; nothing touches the file system.
#include <string>
#include <string_view>

namespace plindo::platform {

// The last component, trailing slashes ignored ("/a/b.mp3/" gives "b.mp3").
inline std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The text after the last "." of the last component; "" for none or a leading dot only.
inline std::string pathExtension(std::string_view path) {
    const std::string name = lastPathComponent(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

// The last component without its extension ("/m/a.b.mp3" gives "a.b"; ".hidden" stays whole).
inline std::string pathStem(std::string_view path) {
    const std::string name = lastPathComponent(path);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace plindo::platform
