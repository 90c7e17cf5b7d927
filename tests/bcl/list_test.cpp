// bcl list: rows and a total, or JSON that keeps every byte of a name.
#include <gtest/gtest.h>

#include "json.hpp"
#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclList, ListShowsRowsAndATotalOrJson) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[A.TXT]\n0\n5\n[esc\x1b]\n5\n-3\n[caf\xc3\xa9]\n2\n1\n[bad\xff]\n7\n0\n"s);
    const RunResult text = bcl(dir.path(), {"list"});
    EXPECT_EQ(text.out, "          0           5  A.TXT\n"
                        "          5          -3  esc\\x1b\n"
                        "          2           1  caf\xc3\xa9\n"
                        "          7           0  bad\xff\n"
                        "4 members, 6 bytes\n");
    EXPECT_EQ(text.exitCode, 0);
    const RunResult json = bcl(dir.path(), {"list", "--json"});
    EXPECT_EQ(json.out, "[\n"
                        "  {\"name\": \"A.TXT\", \"offset\": 0, \"length\": 5},\n"
                        "  {\"name\": \"esc\\u001b\", \"offset\": 5, \"length\": -3},\n"
                        "  {\"name\": \"caf\xc3\xa9\", \"offset\": 2, \"length\": 1},\n"
                        "  {\"name\": \"bad\\ufffd\", \"name_hex\": \"626164ff\", \"offset\": 7, \"length\": 0}\n"
                        "]\n");
    EXPECT_EQ(json.exitCode, 0);
}

TEST(BclList, JsonNamesKeepEveryByte) {
    EXPECT_EQ(bcl::jsonNameFields("a\"b\\c"), "\"name\": \"a\\\"b\\\\c\"");
    EXPECT_EQ(bcl::jsonNameFields("\xed\xa0\x80"), "\"name\": \"\\ufffd\\ufffd\\ufffd\", \"name_hex\": \"eda080\"");
    EXPECT_EQ(bcl::jsonNameFields("\xc0\xaf"), "\"name\": \"\\ufffd\\ufffd\", \"name_hex\": \"c0af\"");
    EXPECT_EQ(bcl::jsonNameFields("\xf0\x9f\x98\x80"), "\"name\": \"\xf0\x9f\x98\x80\"");
}

TEST(BclList, MissingArchiveFilesCannotRun) {
    ScratchDir dir;
    for (const std::string command : {"list", "test", "extract"}) {
        const RunResult r = bcl(dir.path(), {command});
        EXPECT_EQ(r.err, "bcl: MOLVARE.BCL: cannot open: No such file or directory\n");
        EXPECT_EQ(r.exitCode, 2);
    }
    writeFile(dir / "MOLVARE.BCL", "H\nH\n");
    const RunResult r = bcl(dir.path(), {"test"});
    EXPECT_EQ(r.err, "bcl: MOLVARE.BCD: cannot open: No such file or directory\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(bcl(dir.path(), {"frobnicate"}).exitCode, 2);
}

}  // namespace
}  // namespace unbcl::test
