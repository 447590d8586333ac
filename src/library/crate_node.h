#pragma once
// The crate tree of a library pane, built from flat names whose parts are joined with "%%".
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plindo::library {

struct CrateNode {
    std::string name;      // this node's own part
    std::string fullName;  // the parts from the root down to here, joined with "%%"; the node's identity
    std::optional<std::vector<CrateNode>> children;  // absent for a leaf, never empty

    const std::string& id() const { return fullName; }
    bool operator==(const CrateNode&) const = default;

    // Every prefix of every name becomes a node; siblings come out in the user's case-insensitive order.
    // Empty names are skipped; empty parts (as in "A%%") become children with an empty name.
    static std::vector<CrateNode> build(const std::vector<std::string>& names);
};

}  // namespace plindo::library

template <>
struct std::hash<plindo::library::CrateNode> {
    size_t operator()(const plindo::library::CrateNode& n) const noexcept;
};
