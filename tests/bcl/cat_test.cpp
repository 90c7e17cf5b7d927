// SPDX-License-Identifier: MIT
// bcl cat: members to standard output in the order named.
#include <gtest/gtest.h>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclCat, CatWritesMembersInTheOrderNamed) {
    Made archive(FileSet{{"a", "first"}, {"b", "second"}});
    RunResult r = archive.run({"cat", "b", "a", "b"});
    EXPECT_EQ(r.out, "secondfirstsecond");
    EXPECT_EQ(r.exitCode, 0);
    r = archive.run({"cat", "a", "nope"});
    EXPECT_EQ(r.out, "first");
    EXPECT_EQ(r.err, "bcl: nope: not found in the archive\n");
    EXPECT_EQ(r.exitCode, 1);
    // Broken entries give what exists and say what does not.
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[neg]\n0\n-1\n[past]\n3\n9\n");
    writeFile(dir / "MOLVARE.BCD", "01234");
    r = bcl(dir.path(), {"cat", "neg", "past"});
    EXPECT_EQ(r.out, "34");
    EXPECT_EQ(r.err, "bcl: neg: negative length -1\n"
                     "bcl: past: member runs past the end of the data file: 7 of 9 bytes missing\n");
    EXPECT_EQ(r.exitCode, 1);
}

}  // namespace
}  // namespace unbcl::test
