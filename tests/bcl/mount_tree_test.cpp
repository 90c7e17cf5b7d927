// SPDX-License-Identifier: MIT
// The mount's tree on its own: what the name conversion hands it decides the paths, and
// lookups agree with listings. (What a mount shows is tested against extraction in mount_test.)
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mount_tree.hpp"
#include "test_support.hpp"
#include "unbcl/file_io.hpp"

namespace unbcl::test {
namespace {

using bcl::MountTree;
using bcl::MountTreeBuilder;
using bcl::NodeId;

// Every file as "path=offset+size" and every directory as "path/", walking the listings.
std::vector<std::string> describe(const MountTree& tree, NodeId dir = MountTree::kRoot, const std::string& prefix = "") {
    std::vector<std::string> lines;
    for (const NodeId id : tree.children(dir)) {
        const std::string path = prefix + std::string(tree.name(id));
        EXPECT_EQ(tree.child(dir, tree.name(id)), id) << path;
        EXPECT_EQ(tree.parent(id), dir) << path;
        if (tree.isDirectory(id)) {
            lines.push_back(path + "/");
            const std::vector<std::string> below = describe(tree, id, path + "/");
            lines.insert(lines.end(), below.begin(), below.end());
        } else {
            lines.push_back(path + "=" + std::to_string(tree.dataOffset(id)) + "+" + std::to_string(tree.fileSize(id)));
        }
    }
    return lines;
}

struct Built {
    MountTree tree;
    std::string err;
};

Built build(const std::vector<ListMLV>& entries, const bcl::TreePathFn& toTreePath, std::int64_t dataSize = 100) {
    const ScratchDir dir;
    Built built;
    {
        const UniqueFd errFd(::open((dir / "err").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        Diagnostics diagnostics(errFd.get(), "bcl");
        MountTreeBuilder builder(toTreePath, dataSize, diagnostics);
        for (const ListMLV& e : entries) builder.add(e);
        built.tree = std::move(builder).finish();
    }
    built.err = readFile(dir / "err");
    return built;
}

// What a conversion that takes '\' as a separator, as the everyday-use options will, makes of
// the same entries: the tree follows without a change of its own.
std::optional<std::string> backslashSeparates(std::string_view stored) {
    std::string path(stored);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

TEST(BclMountTree, TheNameConversionDecidesThePaths) {
    const std::vector<ListMLV> entries{{"top", 0, 5}, {"dir\\inner", 5, 10}, {"dir\\deeper\\x", 15, 200}, {"NOPE", 0, 1}};
    struct Case {
        std::string label;
        bcl::TreePathFn toTreePath;
        std::vector<std::string> expected;
        std::string err;
    };
    const auto refuseUpperCase = [](std::string_view stored) -> std::optional<std::string> {
        if (stored == "NOPE") return std::nullopt;
        return std::string(stored);
    };
    const std::vector<Case> cases{
        {"literal: only '/' separates", bcl::literalTreePath,
         {"top=0+5", "dir\\inner=5+10", "dir\\deeper\\x=15+85", "NOPE=0+1"}, ""},
        {"'\\' separates", backslashSeparates,
         {"top=0+5", "dir/", "dir/inner=5+10", "dir/deeper/", "dir/deeper/x=15+85", "NOPE=0+1"}, ""},
        // The conversion reports it (as pathOf does), so the tree says nothing more.
        {"a name without a path is left out", refuseUpperCase,
         {"top=0+5", "dir\\inner=5+10", "dir\\deeper\\x=15+85"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Built built = build(entries, c.toTreePath);
        EXPECT_EQ(describe(built.tree), c.expected);
        EXPECT_EQ(built.err, c.err);
    }
}

TEST(BclMountTree, NamesExtractionWouldRefuseOrCouldNotWriteAreLeftOutOnce) {
    const std::string longPart(256, 'n');
    const std::string longestPart = "ok/" + std::string(255, 'n');
    const std::vector<ListMLV> entries{{"ok/a", 1, 2}, {"ok/", 0, 1},   {"ok/.", 0, 1},   {".", 0, 1},
                                       {longPart, 0, 1}, {longestPart, 3, 1}, {"/abs", 0, 1}, {"/abs", 0, 1},
                                       {"a/../b", 0, 1}};
    const Built built = build(entries, bcl::literalTreePath);
    EXPECT_EQ(describe(built.tree), (std::vector<std::string>{"ok/", "ok/a=1+2", longestPart + "=3+1"}));
    EXPECT_EQ(built.err,
              "bcl: ok/: left out: the name ends in a directory, not a file\n"
              "bcl: ok/.: left out: the name ends in a directory, not a file\n"
              "bcl: .: left out: the name ends in a directory, not a file\n"
              "bcl: " + longPart + ": left out: a part of the name is longer than 255 bytes\n"
              "bcl: /abs: left out: absolute name\n"
              "bcl: a/../b: left out: name has a '..' component\n");
}

TEST(BclMountTree, ManyEntriesKeepTheirOrderAndAreFoundByName) {
    std::vector<ListMLV> entries;
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) names.push_back("d" + std::to_string(i % 7) + "/f" + std::to_string(4999 - i));
    for (int i = 0; i < 5000; ++i) entries.push_back({names[static_cast<std::size_t>(i)], i, 1});
    const Built built = build(entries, bcl::literalTreePath, 10'000);
    ASSERT_EQ(built.tree.children(MountTree::kRoot).size(), 7u);
    for (int i = 0; i < 5000; ++i) {
        const std::string& name = names[static_cast<std::size_t>(i)];
        const auto dir = built.tree.child(MountTree::kRoot, name.substr(0, 2));
        ASSERT_TRUE(dir);
        const auto file = built.tree.child(*dir, name.substr(3));
        ASSERT_TRUE(file) << name;
        EXPECT_EQ(built.tree.dataOffset(*file), i);
    }
    // Index order within each directory, not name order.
    const auto d0 = built.tree.child(MountTree::kRoot, "d0");
    EXPECT_EQ(built.tree.name(built.tree.children(*d0)[1]), "f4992");
    EXPECT_FALSE(built.tree.child(*d0, "f4993"));
    EXPECT_EQ(built.tree.subdirectoryCount(MountTree::kRoot), 7u);
}

// Nodes and names are kept in blocks (65,536 nodes, 1 MiB of names); entries enough to fill
// several, with names of every length up to the limit, come back whole wherever a block ends.
TEST(BclMountTree, EntriesAcrossStorageBlocksKeepTheirNamesAndBytes) {
    constexpr int kEntries = 150'000;
    std::vector<ListMLV> entries;
    std::vector<std::string> names;
    for (int i = 0; i < kEntries; ++i) {
        std::string name = std::to_string(i) + "-";
        name.resize(std::max(name.size(), static_cast<std::size_t>(i % 256 == 0 ? 255 : 3 + i % 37)), 'x');
        names.push_back((i % 3 == 0 ? "sub/" : "") + name);
    }
    for (int i = 0; i < kEntries; ++i) entries.push_back({names[static_cast<std::size_t>(i)], i, 1});
    const Built built = build(entries, bcl::literalTreePath, kEntries);
    EXPECT_EQ(built.err, "");
    ASSERT_EQ(built.tree.size(), static_cast<std::size_t>(kEntries) + 2);  // the root and sub
    const auto sub = built.tree.child(MountTree::kRoot, "sub");
    ASSERT_TRUE(sub);
    EXPECT_EQ(built.tree.subdirectoryCount(MountTree::kRoot), 1u);
    EXPECT_EQ(built.tree.subdirectoryCount(*sub), 0u);
    EXPECT_EQ(built.tree.children(*sub).size(), static_cast<std::size_t>((kEntries + 2) / 3));
    int mismatches = 0;
    for (int i = 0; i < kEntries; ++i) {
        const std::string& path = names[static_cast<std::size_t>(i)];
        const bool inSub = i % 3 == 0;
        const std::string name = inSub ? path.substr(4) : path;
        const auto file = built.tree.child(inSub ? *sub : MountTree::kRoot, name);
        if (!file || built.tree.name(*file) != name || std::string(built.tree.nameCString(*file)) != name ||
            built.tree.dataOffset(*file) != i || built.tree.fileSize(*file) != 1) {
            ++mismatches;
        }
    }
    EXPECT_EQ(mismatches, 0);
    // Listed in index order.
    EXPECT_EQ(built.tree.name(built.tree.children(*sub).back()), names[(kEntries - 1) / 3 * 3].substr(4));
}

}  // namespace
}  // namespace unbcl::test
