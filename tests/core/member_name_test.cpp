// SPDX-License-Identifier: MIT
#include "unbcl/member_name.hpp"

#include <gtest/gtest.h>

namespace unbcl {
namespace {

TEST(MemberName, JudgesWholePathComponents) {
    struct {
        std::string_view name;
        NameVerdict verdict;
    } const cases[] = {
        {"A.TXT", NameVerdict::Safe},
        {"sub/A.TXT", NameVerdict::Safe},
        {"a..b", NameVerdict::Safe},
        {"..a", NameVerdict::Safe},
        {"a..", NameVerdict::Safe},
        {"./A.TXT", NameVerdict::Safe},
        {"...", NameVerdict::Safe},
        {"", NameVerdict::Safe},  // not a way out; creating it fails on its own
        {"sub//A", NameVerdict::Safe},
        {"..", NameVerdict::ParentStep},
        {"../x", NameVerdict::ParentStep},
        {"a/../b", NameVerdict::ParentStep},
        {"a/..", NameVerdict::ParentStep},
        {"a//../b", NameVerdict::ParentStep},
        {"/tmp/x", NameVerdict::Absolute},
        {"/", NameVerdict::Absolute},
        {"//x", NameVerdict::Absolute},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judgeMemberName(c.name), c.verdict) << '"' << c.name << '"';
    }
}

}  // namespace
}  // namespace unbcl
