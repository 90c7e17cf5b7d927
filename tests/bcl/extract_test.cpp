// bcl extract: chosen members beneath a directory, links, -k and progress.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "commands.hpp"
#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclExtract, ExtractChosenMembersIntoADirectoryCreatingWhatNamesNeed) {
    Made archive(FileSet{{"a.txt", "A"}, {"deep/er/b.txt", "B"}, {"c.txt", "C"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    const RunResult r = archive.run({"extract", "-C", out.string(), "deep/er/b.txt", "c.txt", "absent"});
    EXPECT_EQ(r.err, "bcl: absent: not in the archive\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"deep/er/b.txt", "B"}, {"c.txt", "C"}}));
}

TEST(BclExtract, ExtractKeepsOldFilesWhenAsked) {
    Made archive(FileSet{{"a.txt", "new"}, {"b.txt", "B"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    writeFile(out / "a.txt", "old");
    const RunResult r = archive.run({"extract", "-k", "-C", out.string()});
    EXPECT_EQ(r.err, "bcl: a.txt: kept the existing file\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"a.txt", "old"}, {"b.txt", "B"}}));
}

TEST(BclExtract, LinksOnTheWayMustStayInsideAndALinkAtTheNameIsReplaced) {
    Made archive(FileSet{{"sub/x", "X"}, {"inside/y", "Y"}, {"last", "L"}});
    const fs::path out = archive.dir / "out";
    const fs::path elsewhere = archive.dir / "elsewhere";
    fs::create_directories(out / "real");
    fs::create_directory(elsewhere);
    fs::create_symlink(elsewhere, out / "sub");            // leads out: refused
    fs::create_symlink("real", out / "inside");            // stays inside: followed
    fs::create_symlink(elsewhere / "last", out / "last");  // the member itself: the link is replaced
    const RunResult r = archive.run({"extract", "-C", out.string()});
    EXPECT_EQ(r.err, "bcl: sub/x: refused: a symbolic link leads out of the extraction directory\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(readFile(out / "real/y"), "Y");
    EXPECT_FALSE(fs::is_symlink(out / "last"));
    EXPECT_EQ(readFile(out / "last"), "L");
}

TEST(BclExtract, ExtractShowsProgressOnATerminalAndClearsIt) {
    Made archive(FileSet{{"a", std::string(3 << 20, 'a')}, {"b", "bb"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    writeFile(archive.dir / "err", "");
    const int err = ::open((archive.dir / "err").c_str(), O_WRONLY);
    // In process, with no delay before the line appears, and an error to show it is cleared.
    writeFile(out / "b", "old");
    const bcl::ExtractOptions options{out.string(), true, {}, std::chrono::milliseconds(0)};
    const int code =
        bcl::extractArchive({archive.index.string(), archive.data.string()}, options, {1, err, false, true});
    ::close(err);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile(archive.dir / "err"), "\r\x1b[Kbcl: 1 of 2 members, 3 of 3 MiB"
                                             "\r\x1b[Kbcl: b: kept the existing file\n");
    EXPECT_EQ(readFile(out / "a"), std::string(3 << 20, 'a'));
}

}  // namespace
}  // namespace unbcl::test
