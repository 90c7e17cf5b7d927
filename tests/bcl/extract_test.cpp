// bcl extract: chosen members beneath a directory, links, -k and progress.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>

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

TEST(BclExtract, ExistingFilesAreReplacedSoHardLinksElsewhereKeepTheirBytes) {
    Made archive(FileSet{{"a.txt", "new"}, {"sub/b.txt", "B"}});
    const fs::path out = archive.dir / "out";
    fs::create_directories(out / "sub");
    writeFile(archive.dir / "precious", "precious bytes");
    fs::create_hard_link(archive.dir / "precious", out / "a.txt");
    fs::create_hard_link(archive.dir / "precious", out / "sub/b.txt");
    const RunResult r = archive.run({"extract", "-C", out.string()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(archive.dir / "precious"), "precious bytes");
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"a.txt", "new"}, {"sub/b.txt", "B"}}));
}

TEST(BclExtract, WhatIsInTheWayIsReportedTrulyWithAndWithoutKeep) {
    struct {
        std::string what;
        std::function<void(const fs::path&)> place;  // puts something at the member's name
        std::string err, errKeeping;                 // without -k, with -k
        int exitCode, exitCodeKeeping;
    } const cases[] = {
        {"a regular file", [](const fs::path& p) { writeFile(p, "old"); }, "", "bcl: m: kept the existing file\n", 0, 0},
        {"a link to a file inside", [](const fs::path& p) { writeFile(p.parent_path() / "t", "old"); fs::create_symlink("t", p); },
         "", "bcl: m: kept the existing file\n", 0, 0},
        {"a directory", [](const fs::path& p) { fs::create_directory(p); },
         "bcl: m: cannot create: Is a directory\n", "bcl: m: nothing kept: a directory is in the way\n", 1, 1},
        {"a link loop", [](const fs::path& p) { fs::create_symlink("m", p); },
         "", "bcl: m: nothing kept: Too many levels of symbolic links\n", 0, 1},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); },
         "bcl: m: refused: not a regular file (a FIFO)\n", "bcl: m: nothing kept: a FIFO is in the way\n", 1, 1},
        {"a device", [](const fs::path& p) {
             if (::mknod(p.c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) GTEST_SKIP() << "needs root to make a device";
         },
         "bcl: m: refused: not a regular file (a character device)\n",
         "bcl: m: nothing kept: a character device is in the way\n", 1, 1},
    };
    for (const auto& c : cases) {
        for (const bool keep : {false, true}) {
            SCOPED_TRACE(c.what + (keep ? ", with -k" : ""));
            Made archive(FileSet{{"m", "member"}});
            const fs::path out = archive.dir / "out";
            fs::create_directory(out);
            c.place(out / "m");
            if (::testing::Test::IsSkipped()) return;
            std::vector<std::string> args{"-i", archive.index.string(), "-d", archive.data.string(),
                                          "extract", "-C", out.string()};
            if (keep) args.push_back("-k");
            // A FIFO nobody reads would block an open forever; the alarm turns a hang into a failure.
            const RunResult r = runProgram({archive.dir.path(), args, BCL_BINARY, [] { ::alarm(20); }, {}});
            EXPECT_EQ(r.err, keep ? c.errKeeping : c.err);
            EXPECT_EQ(r.exitCode, keep ? c.exitCodeKeeping : c.exitCode);
        }
    }
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
