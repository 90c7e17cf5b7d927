// SPDX-License-Identifier: MIT
// The directory tree a mounted archive shows: built once from the index, then only read, by
// any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/console.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/list_entry.hpp"

namespace unbcl::bcl {

// Turns an entry's stored name into its path in the tree, with '/' between directories, or
// gives nothing when the name has no path (the entry is then left out and reported). Other
// separators and character sets are dealt with here and nowhere else: the tree only ever sees
// what this returns.
using TreePathFn = std::function<std::optional<std::string>(std::string_view storedName)>;

// The stored name as it stands: '/' is the only separator and bytes pass unchanged.
std::optional<std::string> literalTreePath(std::string_view storedName);

using NodeId = std::uint32_t;

class MountTree {
public:
    static constexpr NodeId kRoot = 0;
    // Longer names cannot be looked up on Linux, so extraction could not write them either.
    static constexpr std::size_t kMaxNameBytes = 255;

    std::size_t size() const { return nodes_.size(); }
    bool contains(NodeId id) const { return id < nodes_.size(); }
    bool isDirectory(NodeId id) const { return nodes_[id].directory; }
    NodeId parent(NodeId id) const { return nodes_[id].parent; }
    std::string_view name(NodeId id) const { return {&names_[nodes_[id].nameStart], nodes_[id].nameLength}; }
    // The same bytes, NUL-terminated, for interfaces that want a C string.
    const char* nameCString(NodeId id) const { return &names_[nodes_[id].nameStart]; }

    // A file's bytes: where they start in the data file, and how many existed there when the
    // tree was built.
    std::int64_t dataOffset(NodeId file) const { return nodes_[file].first; }
    std::int64_t fileSize(NodeId file) const { return nodes_[file].count; }

    std::span<const NodeId> children(NodeId directory) const {
        return {children_.data() + nodes_[directory].first, nodes_[directory].count};
    }
    std::uint32_t subdirectoryCount(NodeId directory) const { return nodes_[directory].subdirectories; }
    std::optional<NodeId> child(NodeId directory, std::string_view name) const;

private:
    friend class MountTreeBuilder;

    // 24 bytes a node: a million entries cost some 24 MiB besides their names.
    struct Node {
        NodeId parent = kRoot;
        std::uint32_t nameStart = 0;
        std::uint16_t nameLength = 0;
        bool directory = false;
        std::uint32_t first = 0;  // file: data offset; directory: its first place in children_
        std::uint32_t count = 0;  // file: size; directory: number of children
        std::uint32_t subdirectories = 0;
    };
    static constexpr NodeId kNoNode = UINT32_MAX;

    std::size_t slotOf(NodeId parent, std::string_view name) const;
    // The slot holding (parent, name), or the empty slot where it would go.
    std::size_t findSlot(NodeId parent, std::string_view name) const;
    void growSlots();

    std::vector<Node> nodes_;
    std::string names_;               // every node's name followed by a NUL
    std::vector<NodeId> slots_;       // open addressing on (parent, name); kNoNode is empty
    std::vector<NodeId> children_;    // each directory's children together, in index order
};

// Adds entries in index order. What cannot be shown is left out and reported once per name:
// names extraction refuses, and a file whose name a directory also has (the directory wins).
// A later entry of the same name replaces an earlier one, as extraction leaves it.
class MountTreeBuilder {
public:
    // style: how a path is judged; bcl reads a drive letter as absolute unless names are
    // taken literally.
    MountTreeBuilder(TreePathFn toTreePath, std::int64_t dataSize, Diagnostics& diagnostics,
                     NameStyle style = NameStyle::Unix);

    void add(const ListMLV& entry);
    MountTree finish() &&;

private:
    // The directory a component names under parent, made if need be; nothing if a file of
    // that name cannot give way.
    NodeId directoryUnder(NodeId parent, std::string_view component, std::string_view pathSoFar);
    void placeFile(NodeId parent, std::string_view component, const ListMLV& entry);
    NodeId addNode(NodeId parent, std::string_view name, bool directory);
    void leaveOut(std::string_view name, std::string_view reason);
    void layOutChildren();

    TreePathFn toTreePath_;
    NameStyle style_;
    std::int64_t dataSize_;
    Diagnostics& diagnostics_;
    MountTree tree_;
    std::set<std::string, std::less<>> reported_;
};

}  // namespace unbcl::bcl
