#include "ui/main/crate_rows.h"

namespace plindo::ui {

namespace {

// Depth-first with an explicit stack of levels.
void appendRows(const std::vector<library::CrateNode>& tree, const std::set<std::string>& expanded,
                const std::optional<std::string>& selected, std::vector<CrateRow>& out) {
    struct Level {
        const std::vector<library::CrateNode>* nodes;
        size_t next;
    };
    std::vector<Level> stack{{&tree, 0}};
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next >= level.nodes->size()) {
            stack.pop_back();
            continue;
        }
        const library::CrateNode& node = (*level.nodes)[level.next++];
        CrateRow row;
        row.fullName = node.fullName;
        row.name = node.name;
        row.depth = int(stack.size()) - 1;
        row.hasChildren = node.children.has_value();
        row.open = expanded.count(node.fullName) > 0;
        row.selected = selected && *selected == node.fullName;
        out.push_back(std::move(row));
        if (node.children && out.back().open) stack.push_back({&*node.children, 0});
    }
}

}  // namespace

std::vector<CrateRow> crateRows(const std::vector<library::CrateNode>& tree, const std::set<std::string>& expanded,
                                const std::optional<std::string>& selected) {
    std::vector<CrateRow> rows;
    appendRows(tree, expanded, selected, rows);
    return rows;
}

}  // namespace plindo::ui
