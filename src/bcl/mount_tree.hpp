// SPDX-License-Identifier: MIT
// The directory tree a mounted archive shows: built once from the index, then only read, by
// any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/console.hpp"
#include "unbcl/index_format.hpp"
#include "unbcl/list_entry.hpp"
#include "unbcl/member_name.hpp"

namespace unbcl::bcl {

// Turns an entry's stored name into its path in the tree, with '/' between directories, or
// gives nothing when the name has no path, having reported why (the entry is then left out). Other
// separators and character sets are dealt with here and nowhere else: the tree only ever sees
// what this returns.
using TreePathFn = std::function<std::optional<std::string>(std::string_view storedName)>;

// The stored name as it stands: '/' is the only separator and bytes pass unchanged.
std::optional<std::string> literalTreePath(std::string_view storedName);

using NodeId = std::uint32_t;

// Elements in blocks of fixed size. Growing never moves what is there, so building a large
// tree peaks at what it holds, where a vector's doubling would hold the old copy and the new
// one, half empty, at once.
template <typename T>
class BlockVector {
public:
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return blocks_[i >> kBlockBits][i & kIndexMask]; }
    const T& operator[](std::size_t i) const { return blocks_[i >> kBlockBits][i & kIndexMask]; }
    void push_back(const T& value) {
        if ((size_ & kIndexMask) == 0) blocks_.push_back(std::make_unique<T[]>(kBlockSize));
        (*this)[size_++] = value;
    }

private:
    static constexpr std::size_t kBlockBits = 16;
    static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockBits;
    static constexpr std::size_t kIndexMask = kBlockSize - 1;
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

// Names, each followed by a NUL, in blocks that never move; a name never straddles two.
class NameStore {
public:
    // Where the name is kept from now on. Positions are 32 bits wide to keep nodes small.
    std::uint32_t add(std::string_view name);
    const char* at(std::uint32_t position) const {
        return blocks_[position >> kBlockBits].get() + (position & kOffsetMask);
    }

private:
    static constexpr std::uint32_t kBlockBits = 20;
    static constexpr std::uint32_t kBlockBytes = std::uint32_t{1} << kBlockBits;
    static constexpr std::uint32_t kOffsetMask = kBlockBytes - 1;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::uint32_t used_ = kBlockBytes;  // in the last block; full when there is none
};

class MountTree {
public:
    static constexpr NodeId kRoot = 0;

    std::size_t size() const { return nodes_.size(); }
    bool isDirectory(NodeId id) const { return nodes_[id].directory; }
    NodeId parent(NodeId id) const { return nodes_[id].parent; }
    std::string_view name(NodeId id) const { return {names_.at(nodes_[id].nameStart), nodes_[id].nameLength}; }
    // The same bytes, NUL-terminated, for interfaces that want a C string.
    const char* nameCString(NodeId id) const { return names_.at(nodes_[id].nameStart); }

    // A file's bytes: where they start in the data file, and how many existed there when the
    // tree was built.
    std::int64_t dataOffset(NodeId file) const { return nodes_[file].first; }
    std::int64_t fileSize(NodeId file) const { return nodes_[file].count; }

    std::span<const NodeId> children(NodeId directory) const {
        return {children_.data() + nodes_[directory].first, nodes_[directory].count};
    }
    // Kept in the place before the directory's first child.
    std::uint32_t subdirectoryCount(NodeId directory) const { return children_[nodes_[directory].first - 1]; }
    std::optional<NodeId> child(NodeId directory, std::string_view name) const;

private:
    friend class MountTreeBuilder;

    // 20 bytes a node: a million entries cost some 20 MiB besides their names.
    struct Node {
        NodeId parent = kRoot;
        std::uint32_t nameStart = 0;
        std::uint32_t first = 0;  // file: data offset; directory: its first place in children_
        std::uint32_t count = 0;  // file: size; directory: number of children
        std::uint8_t nameLength = 0;  // a component is at most kMaxPathComponentBytes long
        bool directory = false;
    };
    static_assert(kMaxPathComponentBytes <= UINT8_MAX);
    static constexpr NodeId kNoNode = UINT32_MAX;

    std::size_t slotOf(NodeId parent, std::string_view name) const;
    // The slot holding (parent, name), or the empty slot where it would go.
    std::size_t findSlot(NodeId parent, std::string_view name) const;
    void growSlots();

    BlockVector<Node> nodes_;
    NameStore names_;
    std::vector<NodeId> slots_;     // open addressing on (parent, name); kNoNode is empty
    // Each directory's subdirectory count, then its children, in index order.
    std::vector<NodeId> children_;
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
    void placeFile(NodeId parent, std::string_view component, std::string_view path, const ListMLV& entry);
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
