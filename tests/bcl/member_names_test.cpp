// SPDX-License-Identifier: MIT
// Names as every command judges them: the new name rename gives, code pages that would change
// names, and the path limits that test, extract and mount apply after conversion.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

// n copies of CP437 0xB0, which is U+2591, three bytes in UTF-8.
std::string shades(std::size_t n) { return std::string(n, '\xb0'); }
std::string shadesShown(std::size_t n) {
    std::string utf8;
    for (std::size_t i = 0; i < n; ++i) utf8 += "\u2591";
    return utf8;
}

TEST(BclMemberNames, RenameRefusesWhatCreateRefuses) {
    struct {
        std::vector<std::string> options;
        std::string to;
        std::string err;  // empty: renamed
    } const cases[] = {
        {{}, "C:foo", "bcl: C:foo: refused: absolute name (drive letter)\n"},
        {{}, "d/", "bcl: d/: refused: the name ends in a directory, not a file\n"},
        {{}, ".", "bcl: .: refused: the name ends in a directory, not a file\n"},
        {{}, "d/..", "bcl: d/..: refused: name has a '..' component\n"},
        {{}, "/abs", "bcl: /abs: refused: absolute name\n"},
        {{}, "x\\y", "bcl: x\\y: refused: name holds a backslash, a directory separator to bcl (--literal-names keeps it)\n"},
        {{}, "./b", "bcl: ./b: refused: the name would read back as b\n"},
        {{}, "d//b", "bcl: d//b: refused: the name would read back as d/b\n"},
        {{}, "", "bcl: : refused: empty name\n"},
        // 90 stored bytes fit an index line, but the name they stand for does not fit a file system.
        {{"--charset", "CP437"}, shadesShown(90), "bcl: " + shadesShown(90) + ": refused: a part of the name is longer than 255 bytes\n"},
        {{}, "sub/b", ""},
        {{"--charset", "CP437"}, shadesShown(85), ""},
        {{"--literal-names"}, "C:foo", ""},
        {{"--literal-names"}, "x\\y", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        Made archive(FileSet{{"a", "x"}});
        const std::string before = readFile(archive.index);
        std::vector<std::string> args{"rename"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"a", c.to});
        const RunResult r = archive.run(args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 1);
        if (!c.err.empty()) {
            EXPECT_EQ(readFile(archive.index), before);
        }
        // Whatever rename accepts, test accepts and extract writes.
        std::vector<std::string> test{"test"};
        test.insert(test.end(), c.options.begin(), c.options.end());
        const RunResult checked = archive.run(test);
        EXPECT_EQ(checked.err, "");
        EXPECT_EQ(checked.exitCode, 0);
    }
}

// "é.txt" would go in as "?.txt" with //TRANSLIT, "€x" as "EURx"; //IGNORE drops what does not
// convert. Every command that takes --charset refuses such a code page before it does anything.
TEST(BclMemberNames, ACodePageWithASuffixIsRefusedBeforeAnythingIsDone) {
    ScratchDir dir;
    writeFiles(dir / "src", {{"\u00e9.txt", "e"}, {"\u20acx", "euro"}, {"plain", "p"}});
    fs::create_directory(dir / "mnt");
    // Should a mount be made after all, it is taken down before the directory goes.
    const struct Unmount {
        fs::path mountPoint;
        ~Unmount() {
            while (::umount2(mountPoint.c_str(), MNT_DETACH) == 0) {
            }
        }
    } unmount{dir / "mnt"};
    ASSERT_EQ(bcl(dir.path(), {"create", "A.BCL", "-C", "src", "plain"}).exitCode, 0);
    const std::string index = readFile(dir / "A.BCL");
    const std::string data = readFile(dir / "A.BCD");
    const std::vector<std::string> commands[] = {
        {"create", "NEW.BCL", "-C", "src", "\u00e9.txt", "\u20acx"},
        {"update", "A.BCL", "-C", "src", "\u00e9.txt"},
        {"append", "A.BCL", "-C", "src", "\u20acx"},
        {"rename", "A.BCL", "plain", "\u00e9"},
        {"list", "A.BCL"},
        {"test", "A.BCL"},
        {"extract", "A.BCL", "-C", "out"},
        {"cat", "A.BCL", "plain"},
        {"delete", "A.BCL", "plain"},
        {"mount", "A.BCL", "mnt"},
    };
    for (const char* suffix : {"//TRANSLIT", "//IGNORE", "//TRANSLIT//IGNORE"}) {
        const std::string codePage = std::string("ASCII") + suffix;
        for (std::vector<std::string> args : commands) {
            SCOPED_TRACE(args.front() + " " + codePage);
            args.insert(args.begin() + 1, {"--charset", codePage});
            const RunResult r = bcl(dir.path(), args);
            EXPECT_EQ(r.err, "bcl: " + codePage + ": refused character set: the suffix " + suffix +
                                 " would let names be changed; name the code page alone\n");
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_FALSE(fs::exists(dir / "NEW.BCL"));
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_EQ(readFile(dir / "A.BCL"), index);
    EXPECT_EQ(readFile(dir / "A.BCD"), data);
    EXPECT_TRUE(fs::is_empty(dir / "mnt"));

    // Without a suffix iconv still writes some characters as others (CP932 U+00A5 as 0x5C, a
    // backslash to bcl): a name that does not read back as itself is refused as one the code
    // page cannot hold.
    writeFile(dir / "src" / "dir\u00a5x", "yen");
    const RunResult r = bcl(dir.path(), {"create", "YEN.BCL", "--charset", "CP932", "-C", "src", "dir\u00a5x"});
    EXPECT_EQ(r.err, "bcl: dir\u00a5x: refused: the name cannot be written in CP932: "
                     "Invalid or incomplete multibyte or wide character\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(dir / "YEN.BCL"));
}

// Stored names fit an index line; converted, they can outgrow what a file system takes. test
// says so as extract does, and extract refuses before it makes any directory for the name.
TEST(BclMemberNames, TestAndExtractApplyThePathLimitsAfterConversion) {
    ScratchDir dir;
    const std::string longName = "d/" + shades(94);  // a 282-byte component in UTF-8
    const std::string longShown = "d/" + shadesShown(94);
    const std::string longest = shades(85);  // 255 bytes: the longest that fits
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[" + longName + "]\n0\n1\n[" + longest + "]\n1\n1\n");
    writeFile(dir / "MOLVARE.BCD", "ab");
    const std::string tooLong = ": a part of the name is longer than 255 bytes\n";

    const RunResult test = bcl(dir.path(), {"test", "--charset", "CP437"});
    EXPECT_EQ(test.err, "bcl: " + longShown + tooLong);
    EXPECT_EQ(test.out, "MOLVARE.BCL: 2 entries checked: 1 error, 0 warnings\n");
    EXPECT_EQ(test.exitCode, 1);

    const RunResult extract = bcl(dir.path(), {"extract", "--charset", "CP437", "-C", "out"});
    EXPECT_EQ(extract.err, "bcl: " + longShown + ": refused" + tooLong);
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_EQ(listTree(dir / "out"), (std::set<std::string>{shadesShown(85)}));

    // The same bytes without a code page are short enough.
    const RunResult plain = bcl(dir.path(), {"test"});
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.exitCode, 0);
}

}  // namespace
}  // namespace unbcl::test
