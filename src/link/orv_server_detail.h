#pragma once
// Helpers shared by the files of the OSC server: reading deck and number arguments, and naming a sender.
#include "link/orv_server.h"
#include "platform/checked.h"

#include <optional>
#include <string>

namespace plindo::link::orv_detail {

inline std::optional<int> deckOf(const OSCArg& a) {
    const auto v = a.doubleValue();
    if (!v) return std::nullopt;
    const auto d = platform::checkedInt(*v);
    if (!d || (*d != 1 && *d != 2)) return std::nullopt;
    return d;
}

inline std::optional<int> intOf(const OSCArg& a) {
    const auto v = a.doubleValue();
    if (!v) return std::nullopt;
    return platform::checkedInt(*v);
}

inline std::string senderKeyOf(const asio::ip::udp::endpoint& e) {
    size_t h = std::hash<unsigned short>{}(e.port());
    const auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    if (e.address().is_v4()) {
        mix(e.address().to_v4().to_uint());
    } else {
        for (auto b : e.address().to_v6().to_bytes()) mix(b);
    }
    return "conn:" + std::to_string(h);
}

inline bool sameSender(const OrvServer::Remote& r, const OrvServer::Origin& from) { return r.conn.remote == from.remote; }

}  // namespace plindo::link::orv_detail

namespace plindo::link {

// Main-queue posts hold the server weakly: nothing runs once it is gone.
template <typename F>
void OrvServer::postMain(F&& f) {
    main_.post([w = lifeWeak_, fn = std::forward<F>(f)]() mutable {
        if (w.expired()) return;
        fn();
    });
}

}  // namespace plindo::link
