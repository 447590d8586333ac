#pragma once
// The crate tree of a pane as the flat rows the crate column shows: every node in tree order, each open node
// followed by its children one level deeper.
#include "library/crate_node.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plindo::ui {

struct CrateRow {
    std::string fullName;
    std::string name;
    int depth = 0;
    bool hasChildren = false;  // a children list exists, even an empty one: the row has a chevron
    bool open = false;
    bool selected = false;
    bool operator==(const CrateRow&) const = default;
};

std::vector<CrateRow> crateRows(const std::vector<library::CrateNode>& tree, const std::set<std::string>& expanded,
                                const std::optional<std::string>& selected);

// The row's leading padding: deeper rows step in.
constexpr int crateRowIndent(int depth) { return 6 + 14 * depth; }

}  // namespace plindo::ui
