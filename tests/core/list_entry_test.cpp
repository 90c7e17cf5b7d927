// SPDX-License-Identifier: MIT
// The packed entry list: what goes in comes out, in order and by index, whatever the names.
#include "unbcl/list_entry.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace unbcl {
namespace {

TEST(EntryList, KeepsEveryEntryInOrderAcrossBlocksAndCheckpoints) {
    // Names from empty to past the one-byte length, enough of them to fill several blocks,
    // and every byte value inside names.
    std::vector<std::string> names;
    for (std::size_t i = 0; i < 40000; ++i) {
        const std::size_t size = i % 300;
        std::string name(size, '\0');
        for (std::size_t j = 0; j < size; ++j) name[j] = static_cast<char>((i + j) & 0xFF);
        names.push_back(std::move(name));
    }
    EntryList list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        list.push_back({names[i], static_cast<std::int32_t>(i) - 7, -static_cast<std::int32_t>(i)});
    }
    ASSERT_EQ(list.size(), names.size());
    std::size_t i = 0;
    for (const ListMLV e : list) {
        ASSERT_EQ(e, (ListMLV{names[i], static_cast<std::int32_t>(i) - 7, -static_cast<std::int32_t>(i)})) << i;
        ++i;
    }
    EXPECT_EQ(i, names.size());
    for (const std::size_t at : {std::size_t{0}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{12345},
                                 names.size() - 1}) {
        EXPECT_EQ(list[at].fname, names[at]) << at;
        EXPECT_EQ(list[at].offset, static_cast<std::int32_t>(at) - 7) << at;
    }
    // A name handed out stays valid while the list grows.
    const std::string_view early = list[299].fname;
    for (int k = 0; k < 10000; ++k) list.push_back({"more", 0, 0});
    EXPECT_EQ(early, names[299]);

    const EntryList copy = list;
    EXPECT_EQ(copy, list);
}

TEST(EntryList, StartsEmpty) {
    const EntryList list;
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.begin(), list.end());
    EXPECT_EQ(list, EntryList{});
    EXPECT_NE(list, (EntryList{{"", 0, 0}}));
}

}  // namespace
}  // namespace unbcl
