// SPDX-License-Identifier: MIT
// bcl test: what it finds wrong, what it only notes, and that it writes nothing.
#include <gtest/gtest.h>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclTest, TestFindsWhatIsWrongAndNotesWhatIsMerelyUnusual) {
    struct {
        std::string index;
        std::string err;
        int exitCode;
    } const cases[] = {
        {"H\nH\n[A]\n0\n4\n[B]\n4\n4\n", "", 0},
        // An empty member is whole wherever its offset points, as extraction has it.
        {"H\nH\n[E1]\n99\n0\n[E2]\n-1\n0\n", "", 0},
        {"H\nH\n[A]\n0\n4\n[A]\n4\n4\n[C]\n2\n4\n",
         "bcl: A: warning: named 2 times; extraction keeps the last entry's bytes\n"
         "bcl: C: note: overlaps A\nbcl: A: note: overlaps C\n",
         0},
        {"H\nH\n[A]\n0\n4\n[B]\n", "bcl: MOLVARE.BCL:6: reading stopped: end of file inside a record\n", 1},
        {"H\nH\n[../x]\n0\n1\n[/abs]\n1\n1\n[]\n2\n1\n",
         "bcl: ../x: unsafe name: name has a '..' component\nbcl: /abs: unsafe name: absolute name\n"
         "bcl: : empty name\n", 1},
        {"H\nH\n[..\\x]\n0\n1\n[\\abs]\n1\n1\n[D:x]\n2\n1\n[A\\B]\n3\n1\n[A/B]\n4\n1\n",
         "bcl: ../x: unsafe name: name has a '..' component\nbcl: /abs: unsafe name: absolute name\n"
         "bcl: D:x: unsafe name: absolute name (drive letter)\n"
         "bcl: A/B: warning: named 2 times; extraction keeps the last entry's bytes\n",
         1},
        {"H\nH\n[d/]\n0\n1\n[a/b]\n1\n1\n[a//b]\n2\n1\n[./a/b]\n3\n1\n",
         "bcl: d/: the name ends in a directory, not a file\n"
         "bcl: a/b: warning: named 3 times; extraction keeps the last entry's bytes\n",
         1},
        {"H\nH\n[PAST]\n6\n4\n[NEG]\n-1\n1\n[NEGLEN]\n0\n-2\n",
         "bcl: PAST: member runs past the end of the data file: 2 of 4 bytes missing\n"
         "bcl: NEG: negative offset -1: 1 of 1 bytes missing\n"
         "bcl: NEGLEN: negative length -2\n",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL", c.index);
        writeFile(dir / "MOLVARE.BCD", "01234567");
        const auto before = listTree(dir.path());
        const RunResult r = bcl(dir.path(), {"test"});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(listTree(dir.path()), before);
    }
}

}  // namespace
}  // namespace unbcl::test
