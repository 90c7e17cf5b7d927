// SPDX-License-Identifier: MIT
// Where a member lies against the data file, as extraction, bcl test and bcl cat all judge it.
#include "unbcl/member_placement.hpp"

#include <gtest/gtest.h>

namespace unbcl {
namespace {

TEST(MemberPlacement, OneJudgementForEveryCommand) {
    constexpr std::int64_t kDataSize = 8;
    struct {
        std::int32_t offset, length;
        std::string described;  // empty: the member is whole
    } const cases[] = {
        {0, 8, ""},
        {3, 5, ""},
        {8, 0, ""},   // empty at the very end
        {99, 0, ""},  // empty past the end is no error anywhere
        {-4, 0, ""},  // nor before the start
        {6, 4, "member runs past the end of the data file: 2 of 4 bytes missing"},
        {8, 1, "member runs past the end of the data file: 1 of 1 bytes missing"},
        {2147483647, 2147483647, "member runs past the end of the data file: 2147483647 of 2147483647 bytes missing"},
        {-1, 5, "negative offset -1: 5 of 5 bytes missing"},
        {-2147483647 - 1, 1, "negative offset -2147483648: 1 of 1 bytes missing"},
        {0, -2, "negative length -2"},
        {-1, -1, "negative length -1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " " + std::to_string(c.length));
        const MemberPlacement p = judgeMemberPlacement(c.offset, c.length, bytesInDataFile(c.offset, c.length, kDataSize));
        EXPECT_EQ(describePlacement(p, c.offset, c.length), c.described);
        EXPECT_EQ(p.placement == Placement::Whole, c.described.empty());
    }
}

}  // namespace
}  // namespace unbcl
