// SPDX-License-Identifier: MIT
#include "mount_tree.hpp"

#include <new>

#include "member_names.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/member_placement.hpp"

namespace unbcl::bcl {

std::optional<std::string> literalTreePath(std::string_view storedName) { return std::string(storedName); }

std::uint32_t NameStore::add(std::string_view name) {
    const std::size_t needed = name.size() + 1;
    if (needed > kBlockBytes - used_) {
        // 4096 blocks of 1 MiB fill the 32-bit positions; an index that needs more would not
        // fit in memory anyway.
        if (blocks_.size() >= (std::size_t{UINT32_MAX} + 1) / kBlockBytes) throw std::bad_alloc();
        blocks_.push_back(std::unique_ptr<char[]>(new char[kBlockBytes]));
        used_ = 0;
    }
    const auto position = static_cast<std::uint32_t>(((blocks_.size() - 1) << kBlockBits) | used_);
    char* at = blocks_.back().get() + used_;
    name.copy(at, name.size());
    at[name.size()] = '\0';
    used_ += static_cast<std::uint32_t>(needed);
    return position;
}

std::size_t MountTree::slotOf(NodeId parent, std::string_view name) const {
    std::uint64_t h = std::hash<std::string_view>{}(name) + parent * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
    return static_cast<std::size_t>(h) & (slots_.size() - 1);
}

std::size_t MountTree::findSlot(NodeId parent, std::string_view name) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = slotOf(parent, name);; s = (s + 1) & mask) {
        const NodeId id = slots_[s];
        if (id == kNoNode || (nodes_[id].parent == parent && this->name(id) == name)) return s;
    }
}

void MountTree::growSlots() {
    slots_.assign(slots_.empty() ? 16 : slots_.size() * 2, kNoNode);
    // The root has no name in any directory, so it is never looked up.
    const auto nodeCount = static_cast<NodeId>(nodes_.size());
    for (NodeId id = 1; id < nodeCount; ++id) slots_[findSlot(nodes_[id].parent, name(id))] = id;
}

std::optional<NodeId> MountTree::child(NodeId directory, std::string_view name) const {
    if (slots_.empty()) return std::nullopt;
    const NodeId id = slots_[findSlot(directory, name)];
    if (id == kNoNode) return std::nullopt;
    return id;
}

MountTreeBuilder::MountTreeBuilder(TreePathFn toTreePath, std::int64_t dataSize, Diagnostics& diagnostics,
                                   NameStyle style)
    : toTreePath_(std::move(toTreePath)), style_(style), dataSize_(dataSize), diagnostics_(diagnostics) {
    tree_.nodes_.push_back({MountTree::kRoot, tree_.names_.add({}), 0, 0, 0, true});
    tree_.growSlots();
}

void MountTreeBuilder::leaveOut(std::string_view name, std::string_view reason) {
    if (reported_.emplace(name).second) diagnostics_.report(name, "left out: " + std::string(reason));
}

NodeId MountTreeBuilder::addNode(NodeId parent, std::string_view name, bool directory) {
    // Node numbers are 32 bits wide to keep nodes small; an index that needs more would not
    // fit in memory anyway.
    if (tree_.nodes_.size() >= MountTree::kNoNode - 1) throw std::bad_alloc();
    const auto id = static_cast<NodeId>(tree_.nodes_.size());
    tree_.nodes_.push_back({parent, tree_.names_.add(name), 0, 0, static_cast<std::uint8_t>(name.size()), directory});
    if (tree_.nodes_.size() * 4 > tree_.slots_.size() * 3) {
        tree_.growSlots();
    } else {
        tree_.slots_[tree_.findSlot(parent, name)] = id;
    }
    return id;
}

NodeId MountTreeBuilder::directoryUnder(NodeId parent, std::string_view component, std::string_view pathSoFar) {
    const NodeId found = tree_.slots_[tree_.findSlot(parent, component)];
    if (found == MountTree::kNoNode) return addNode(parent, component, true);
    MountTree::Node& node = tree_.nodes_[found];
    if (!node.directory) {
        // A file cannot hold the entries beneath it, and they are usually the many.
        leaveOut(pathSoFar, "a directory of the same name is in the archive");
        node = {node.parent, node.nameStart, 0, 0, node.nameLength, true};
    }
    return found;
}

void MountTreeBuilder::placeFile(NodeId parent, std::string_view component, std::string_view path,
                                 const ListMLV& entry) {
    NodeId id = tree_.slots_[tree_.findSlot(parent, component)];
    if (id == MountTree::kNoNode) {
        id = addNode(parent, component, false);
    } else if (tree_.nodes_[id].directory) {
        leaveOut(path, "a directory of the same name is in the archive");
        return;
    }
    // The bytes that exist now, as extraction would write them; a later entry of the same
    // name simply overrides an earlier one.
    const std::int64_t size = bytesInDataFile(entry.offset, entry.length, dataSize_);
    tree_.nodes_[id].first = size > 0 ? static_cast<std::uint32_t>(entry.offset) : 0;
    tree_.nodes_[id].count = static_cast<std::uint32_t>(size);
}

namespace {

// Why a path cannot name a file in the tree, or nothing when it can. Empty and "." components
// are skipped, as extraction skips them when it makes directories.
std::optional<std::string> pathProblem(std::string_view path, NameStyle style) {
    if (path.empty()) return "empty name";
    if (const NameVerdict verdict = judgeMemberName(path, style); verdict != NameVerdict::Safe) {
        return std::string(describeNameVerdict(verdict));
    }
    if (auto tooLong = pathComponentProblem(path)) return tooLong;
    if (namesNoEntry(path.substr(path.rfind('/') + 1))) return "the name ends in a directory, not a file";
    return std::nullopt;
}

}  // namespace

void MountTreeBuilder::add(const ListMLV& entry) {
    const std::optional<std::string> path = toTreePath_(entry.fname);
    // The conversion has said why, in the words extract and test use; once is enough.
    if (!path) return;
    // Reported by the path, converted as test and extract show it.
    if (const auto problem = pathProblem(*path, style_)) {
        leaveOut(*path, *problem);
        return;
    }
    const std::string_view whole = *path;
    NodeId directory = MountTree::kRoot;
    std::size_t start = 0;
    for (std::size_t slash = whole.find('/'); slash != std::string_view::npos; slash = whole.find('/', start)) {
        const std::string_view component = whole.substr(start, slash - start);
        start = slash + 1;
        if (namesNoEntry(component)) continue;
        directory = directoryUnder(directory, component, whole.substr(0, slash));
    }
    placeFile(directory, whole.substr(start), whole, entry);
}

void MountTreeBuilder::layOutChildren() {
    BlockVector<MountTree::Node>& nodes = tree_.nodes_;
    const auto nodeCount = static_cast<NodeId>(nodes.size());
    for (NodeId id = 1; id < nodeCount; ++id) ++nodes[nodes[id].parent].count;
    // Each directory's first is set one past its last place, then filled backwards, which
    // leaves it at its first place and keeps children in the order the index gave them. The
    // place before the first holds the number of subdirectories.
    std::size_t end = 0;
    for (NodeId id = 0; id < nodeCount; ++id) {
        MountTree::Node& node = nodes[id];
        if (!node.directory) continue;
        end += 1 + node.count;
        node.first = static_cast<std::uint32_t>(end);
    }
    if (end > UINT32_MAX) throw std::bad_alloc();
    tree_.children_.assign(end, 0);
    for (NodeId id = nodeCount; id-- > 1;) tree_.children_[--nodes[nodes[id].parent].first] = id;
    for (NodeId id = 1; id < nodeCount; ++id) {
        if (nodes[id].directory) ++tree_.children_[nodes[nodes[id].parent].first - 1];
    }
}

MountTree MountTreeBuilder::finish() && {
    layOutChildren();
    return std::move(tree_);
}

}  // namespace unbcl::bcl
