#include "library/crate_node.h"

#include "platform/text.h"

#include <map>
#include <string_view>

namespace plindo::library {

namespace {

constexpr std::string_view kSeparator = "%%";

struct Tmp {
    std::map<std::string, Tmp> children;
};

std::vector<CrateNode> convert(const Tmp& node, const std::string& prefix) {
    std::vector<const std::pair<const std::string, Tmp>*> kids;
    kids.reserve(node.children.size());
    for (const auto& kv : node.children) kids.push_back(&kv);
    platform::text::stableSortLocalized(kids, [](const auto* kv) -> const std::string& { return kv->first; });
    std::vector<CrateNode> out;
    out.reserve(kids.size());
    for (const auto* kv : kids) {
        CrateNode n;
        n.name = kv->first;
        n.fullName = prefix.empty() ? kv->first : prefix + std::string(kSeparator) + kv->first;
        std::vector<CrateNode> sub = convert(kv->second, n.fullName);
        if (!sub.empty()) n.children = std::move(sub);
        out.push_back(std::move(n));
    }
    return out;
}

}  // namespace

std::vector<CrateNode> CrateNode::build(const std::vector<std::string>& names) {
    Tmp root;
    for (const std::string& name : names) {
        if (name.empty()) continue;
        Tmp* at = &root;
        size_t start = 0;
        for (;;) {
            const size_t sep = name.find(kSeparator, start);
            const std::string part = name.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
            at = &at->children[part];
            if (sep == std::string::npos) break;
            start = sep + kSeparator.size();
        }
    }
    return convert(root, "");
}

}  // namespace plindo::library

size_t std::hash<plindo::library::CrateNode>::operator()(const plindo::library::CrateNode& n) const noexcept {
    auto mix = [](size_t h, size_t v) { return h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2)); };
    size_t h = std::hash<std::string>{}(n.name);
    h = mix(h, std::hash<std::string>{}(n.fullName));
    if (!n.children) return mix(h, 0x51ed27);
    h = mix(h, n.children->size() + 1);
    for (const auto& c : *n.children) h = mix(h, (*this)(c));
    return h;
}
