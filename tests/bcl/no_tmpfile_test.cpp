// SPDX-License-Identifier: MIT
// bcl writing to a file system without unnamed files (open with O_TMPFILE fails), where every
// new file is written under a hidden name first: members and archives still come out whole,
// what stood before stays when a write fails, and no hidden name is left behind.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "bcl_support.hpp"
#include "new_output_file.hpp"
#include "plain_fuse_mount.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

// Mounted, and open(O_TMPFILE) really fails there, so that the test runs the fallback.
::testing::AssertionResult withoutUnnamedFiles(const PlainFuseMount& mount) {
    if (!mount.mounted()) return ::testing::AssertionFailure() << "not mounted: " << mount.serverErr();
    const int fd = ::open(mount.path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const int err = errno;
    if (fd >= 0) {
        ::close(fd);
        return ::testing::AssertionFailure() << "the mount made an unnamed file";
    }
    if (err != EOPNOTSUPP && err != EISDIR) {
        return ::testing::AssertionFailure() << "O_TMPFILE failed otherwise: " << std::strerror(err);
    }
    return ::testing::AssertionSuccess();
}

#define REQUIRE_FUSE() \
    if (::access("/dev/fuse", F_OK) != 0) GTEST_SKIP() << "no /dev/fuse on this machine"

// Some file systems rename without replacing but cannot exchange; network and many FUSE ones
// can do neither, and rename only as plain rename(2) does.
struct RenameLimits {
    std::string what;
    PlainFuseOptions options;
};
const RenameLimits kWithExchange[] = {
    {"every rename", {}},
    {"no RENAME_NOREPLACE", {.refuseExchange = false, .refuseNoReplace = true}},
};
const RenameLimits kWithoutExchange[] = {
    {"no RENAME_EXCHANGE", {.refuseExchange = true, .refuseNoReplace = false}},
    {"plain rename only", {.refuseExchange = true, .refuseNoReplace = true}},
};

void expectSuccess(const RunResult& r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
}

// What bcl extracts from the archive, into a fresh directory off the mount, and what bcl test
// says of it.
void expectArchiveHolds(const fs::path& index, const FileSet& files) {
    ScratchDir out;
    expectSuccess(bcl(out.path(), {"extract", index.string(), "-C", "x"}));
    EXPECT_EQ(readRegularFiles(out / "x"), files);
    expectSuccess(bcl(out.path(), {"test", index.string()}));
}

TEST(NoUnnamedFiles, ExtractReplacesWhatStandsAtAMembersName) {
    REQUIRE_FUSE();
    // Over several FUSE writes, with every byte value.
    std::string large(300 << 10, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
    const FileSet members{{"new", "fresh"},     {"sub/deep", large}, {"empty", ""},
                          {"file", "new file"}, {"link", "new link"}, {"linked", "new linked"}};
    const Made archive(members);
    struct {
        std::string jobs;
        RenameLimits limits;
    } const cases[] = {{"1", kWithExchange[0]}, {"4", kWithExchange[0]}, {"1", kWithoutExchange[1]}};
    for (const auto& c : cases) {
        SCOPED_TRACE("-j " + c.jobs + ", " + c.limits.what);
        const PlainFuseMount mount(c.limits.options);
        ASSERT_TRUE(withoutUnnamedFiles(mount));
        const fs::path out = mount / "out";
        fs::create_directories(out / "elsewhere");
        writeFile(out / "file", "old file");
        writeFile(out / "elsewhere" / "target", "old target");
        fs::create_symlink("elsewhere/target", out / "link");
        writeFile(out / "linked", "old linked");
        fs::create_hard_link(out / "linked", out / "elsewhere" / "hard");

        expectSuccess(archive.run({"extract", "-j", c.jobs, "-C", out.string()}));
        FileSet expected = members;
        expected["elsewhere/target"] = "old target";
        expected["elsewhere/hard"] = "old linked";
        EXPECT_EQ(readRegularFiles(out), expected);
        EXPECT_FALSE(fs::is_symlink(out / "link"));
        // Every name is a member's or was there before: no hidden file is left.
        EXPECT_EQ(listTree(out), (std::set<std::string>{"elsewhere", "elsewhere/hard", "elsewhere/target", "empty",
                                                        "file", "link", "linked", "new", "sub", "sub/deep"}));
    }
}

TEST(NoUnnamedFiles, AMemberThatCannotBeWrittenLeavesWhatStoodThere) {
    REQUIRE_FUSE();
    const PlainFuseMount mount;
    ASSERT_TRUE(withoutUnnamedFiles(mount));
    ScratchDir dir;
    writeFile(dir / "A.BCL", "H\nH\n[big]\n0\n4096\n[small]\n0\n10\n[fresh]\n0\n2048\n");
    writeFile(dir / "A.BCD", std::string(4096, 'z'));
    writeFile(mount / "big", "old bytes");
    const RunResult r = runProgram({dir.path(), {"extract", "A.BCL", "-C", mount.path().string()}, BCL_BINARY, [] {
                                        const rlimit limit{1024, 1024};
                                        ::setrlimit(RLIMIT_FSIZE, &limit);
                                    }, {}});
    EXPECT_EQ(r.err, "bcl: big: write error: File too large\nbcl: fresh: write error: File too large\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readRegularFiles(mount.path()), (FileSet{{"big", "old bytes"}, {"small", std::string(10, 'z')}}));
    EXPECT_EQ(listTree(mount.path()), (std::set<std::string>{"big", "small"}));
}

// Each step changes the archive on the mount, which is then read back whole.
TEST(NoUnnamedFiles, EveryCommandThatWritesAnArchiveLeavesItWhole) {
    REQUIRE_FUSE();
    for (const RenameLimits& limits : kWithExchange) {
        SCOPED_TRACE(limits.what);
        const PlainFuseMount mount(limits.options);
        ASSERT_TRUE(withoutUnnamedFiles(mount));
        ScratchDir dir;
        const std::string b(200 << 10, 'b');
        writeFiles(dir / "src", {{"a", "first a"}, {"b", b}, {"c", "third"}});
        const std::string index = (mount / "A.BCL").string();
        struct {
            std::vector<std::string> args;
            FileSet holds;
            std::vector<std::pair<std::string, std::string>> thenChange;  // in src, for the next step
        } const steps[] = {
            {{"create", index, "-C", "src", "a", "b"}, {{"a", "first a"}, {"b", b}}, {{"a", "second a"}}},
            {{"update", index, "-C", "src", "a"}, {{"a", "second a"}, {"b", b}}, {}},
            {{"append", index, "-C", "src", "c"}, {{"a", "second a"}, {"b", b}, {"c", "third"}}, {}},
            {{"rename", index, "c", "sub/c"}, {{"a", "second a"}, {"b", b}, {"sub/c", "third"}}, {}},
            {{"delete", index, "b"}, {{"a", "second a"}, {"sub/c", "third"}}, {}},
            // Over an existing archive, which goes.
            {{"create", index, "-C", "src", "c"}, {{"c", "third"}}, {}},
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(step.args.front());
            expectSuccess(bcl(dir.path(), step.args));
            expectArchiveHolds(index, step.holds);
            EXPECT_EQ(listTree(mount.path()), (std::set<std::string>{"A.BCD", "A.BCL"}));
            for (const auto& [name, bytes] : step.thenChange) writeFile(dir / "src" / name, bytes);
        }
    }
}

// The one writer every new file goes through, where it has to use a hidden name: the name is
// locked while its writer lives, so a sweep for dead writers' leftovers passes it by; a writer
// that gives up leaves nothing; a placed file is whole under its own name.
TEST(NoUnnamedFiles, TheOutOfSightWriterHoldsItsHiddenNameWhileItLives) {
    REQUIRE_FUSE();
    const PlainFuseMount mount;
    ASSERT_TRUE(withoutUnnamedFiles(mount));
    const UniqueFd dir(::open(mount.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);
    writeFile(mount / ".bcl-extract-deadbeef", "a dead writer's");
    writeFile(mount / ".bcl-extract-notmine.txt", "a user's file");
    {
        SysResult<NewOutputFile> abandoned = NewOutputFile::begin(dir.get());
        ASSERT_TRUE(abandoned);
        EXPECT_FALSE(abandoned->unnamed());
    }
    SysResult<NewOutputFile> live = NewOutputFile::begin(dir.get());
    ASSERT_TRUE(live);
    ASSERT_FALSE(live->unnamed());
    ASSERT_EQ(writeAll(live->fd(), "member bytes"), 0);
    const std::string hidden = live->temporaryName();

    removeAbandonedTemporaries(dir.get(), kExtractTemporaryPrefix);
    EXPECT_EQ(listTree(mount.path()), (std::set<std::string>{".bcl-extract-notmine.txt", hidden}));

    ASSERT_EQ(live->place("member", false), 0);
    ASSERT_EQ(live->close(), 0);
    EXPECT_EQ(readFile(mount / "member"), "member bytes");
    EXPECT_EQ(listTree(mount.path()), (std::set<std::string>{".bcl-extract-notmine.txt", "member"}));
}

// A file system that cannot exchange two names still has an existing archive replaced: the
// previous file steps aside under a hidden name first, with the commit record naming both, and
// nothing hidden is left once the command is done.
TEST(NoUnnamedFiles, WithoutExchangeAnExistingArchiveIsReplacedByRenames) {
    REQUIRE_FUSE();
    for (const RenameLimits& limits : kWithoutExchange) {
        SCOPED_TRACE(limits.what);
        const PlainFuseMount mount(limits.options);
        ASSERT_TRUE(withoutUnnamedFiles(mount));
        ScratchDir dir;
        writeFiles(dir / "src", {{"a", "A"}, {"b", "B"}});
        const std::string index = (mount / "A.BCL").string();
        expectSuccess(bcl(dir.path(), {"create", index, "-C", "src", "a"}));
        struct {
            std::vector<std::string> args;
            FileSet holds;
        } const cases[] = {
            {{"create", index, "-C", "src", "b"}, {{"b", "B"}}},
            {{"update", index, "-C", "src", "a"}, {{"b", "B"}, {"a", "A"}}},
            {{"delete", index, "b"}, {{"a", "A"}}},
            {{"append", index, "-C", "src", "b"}, {{"a", "A"}, {"b", "B"}}},
            {{"rename", index, "a", "z"}, {{"z", "A"}, {"b", "B"}}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.args.front());
            expectSuccess(bcl(dir.path(), c.args));
            expectArchiveHolds(index, c.holds);
            EXPECT_EQ(listTree(mount.path()), (std::set<std::string>{"A.BCD", "A.BCL"}));
        }
    }
}

}  // namespace
}  // namespace unbcl::test
