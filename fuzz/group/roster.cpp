// Applies the input as a received roster, then checks what a peer would get back: the roster within its
// cap, our broadcast within one datagram and readable by a peer, and nothing of this host's taken in.
#include "group/group_state.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    using namespace plindo::group;
    GroupState g("Own-0000", [] { return int64_t{1'700'000'000}; });
    g.setMine("", GroupRole::Host, true, std::nullopt, 1.0);
    g.apply(std::string_view(reinterpret_cast<const char*>(data), size), 2.0);
    if (g.members().size() > GroupState::kMaxMembers) std::abort();
    for (const auto& [name, m] : g.members()) {
        if (name != m.name || name.size() > GroupMember::kMaxNameBytes) std::abort();
        if (name != "Own-0000" && g.isOwnName(name)) std::abort();
    }
    const std::string out = g.encodeMembers();
    if (out.size() > GroupState::kMaxPayloadBytes || !nlohmann::json::accept(out)) std::abort();
    GroupState peer("Peer-0000", [] { return int64_t{1'700'000'000}; });
    peer.apply(out, 3.0);
    size_t forPeer = 0;  // every record we send is taken, except those bearing the peer's own names
    for (const auto& r : nlohmann::json::parse(out)) forPeer += !peer.isOwnName(r["name"].get<std::string>());
    if (peer.members().size() != forPeer) std::abort();
    (void)g.latestLoad("left", 2.0);
    return 0;
}
