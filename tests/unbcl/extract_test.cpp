// SPDX-License-Identifier: MIT
// Extraction end to end: the bytes of every output file, what is refused, what is reported.
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

struct Member {
    std::string name;
    long offset;
    long length;
};

std::string indexFor(const std::vector<Member>& members) {
    std::string index = "TEST ARCHIVE\n" + std::to_string(members.size()) + " FILES\n";
    for (const auto& m : members) {
        index += "[" + m.name + "]\n" + std::to_string(m.offset) + "\n" + std::to_string(m.length) + "\n";
    }
    return index;
}

std::string everyByteValue() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes;
}

// The run happens in work/ inside an outer directory, so a write that escapes shows up as an
// unexpected file in the outer tree.
struct Archive {
    ScratchDir outer;
    fs::path work = outer / "work";

    Archive(const std::vector<Member>& members, const std::string& data) {
        fs::create_directory(work);
        writeFile(work / "MOLVARE.BCL", indexFor(members));
        writeFile(work / "MOLVARE.BCD", data);
    }
    // Every run also checks that the archive came through unchanged.
    RunResult run(std::function<void()> beforeExec = {}) const {
        const std::string index = readFile(work / "MOLVARE.BCL");
        const std::string data = readFile(work / "MOLVARE.BCD");
        RunResult r = runProgram({work, {}, UNBCL_BINARY, std::move(beforeExec), {}});
        EXPECT_EQ(readFile(work / "MOLVARE.BCL"), index) << "the index changed";
        EXPECT_EQ(readFile(work / "MOLVARE.BCD"), data) << "the data file changed";
        return r;
    }
    std::set<std::string> tree() const { return listTree(outer.path()); }
};

TEST(Extract, EveryMemberGetsExactlyItsBytes) {
    const std::string data = everyByteValue() + "TAIL";
    Archive a({{"ALL.BIN", 0, 256}, {"TAIL", 256, 4}, {"MIDDLE", 10, 20}, {"EMPTY", 5, 0}, {"LAST", 259, 1}}, data);
    const RunResult r = a.run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(a.work / "ALL.BIN"), everyByteValue());
    EXPECT_EQ(readFile(a.work / "TAIL"), "TAIL");
    EXPECT_EQ(readFile(a.work / "MIDDLE"), data.substr(10, 20));
    EXPECT_EQ(readFile(a.work / "EMPTY"), "");
    EXPECT_EQ(readFile(a.work / "LAST"), "L");
}

TEST(Extract, OutputFilesAreCreatedWithTheUsualPermissions) {
    Archive a({{"A", 0, 1}}, "x");
    const RunResult r = a.run([] { ::umask(022); });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(fs::status(a.work / "A").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST(Extract, NoEntriesCreateNoFiles) {
    Archive a({}, "data");
    EXPECT_EQ(a.run().exitCode, 0);
    EXPECT_EQ(a.tree(), (std::set<std::string>{"work", "work/MOLVARE.BCD", "work/MOLVARE.BCL"}));
}

TEST(Extract, LaterDuplicateWinsAndExistingFilesAreReplacedNotAppended) {
    Archive a({{"DUP", 0, 3}, {"DUP", 3, 2}, {"OLD", 0, 1}}, "abcde");
    writeFile(a.work / "OLD", "a much longer file that was here before");
    EXPECT_EQ(a.run().exitCode, 0);
    EXPECT_EQ(readFile(a.work / "DUP"), "de");
    EXPECT_EQ(readFile(a.work / "OLD"), "a");
}

TEST(Extract, SubdirectoriesAreUsedButNeverCreated) {
    Archive a({{"sub/IN", 0, 1}, {"nodir/OUT", 1, 1}, {"AFTER", 2, 1}}, "xyz");
    fs::create_directory(a.work / "sub");
    const RunResult r = a.run();
    EXPECT_EQ(readFile(a.work / "sub/IN"), "x");
    EXPECT_EQ(readFile(a.work / "AFTER"), "z");
    EXPECT_FALSE(fs::exists(a.work / "nodir"));
    EXPECT_EQ(r.err, "unbcl: nodir/OUT: cannot create: No such file or directory\n");
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Extract, OutputsThatCannotBeCreatedAreReportedAndSkipped) {
    Archive a({{"", 0, 1}, {"ADIR", 0, 1}, {"READONLY", 0, 1}, {"GOOD", 1, 1}}, "ab");
    fs::create_directory(a.work / "ADIR");
    writeFile(a.work / "READONLY", "keep me");
    fs::permissions(a.work / "READONLY", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Root may write a read-only file, so the run drops to an unprivileged user, with a copy
    // of the binary that user can reach wherever the build tree lies.
    fs::permissions(a.outer.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(a.work, fs::perms::all, fs::perm_options::add);
    const fs::path binary = a.outer / "unbcl";
    fs::copy_file(UNBCL_BINARY, binary);
    RunResult r = runProgram({a.work, {}, binary.string(), dropRootPrivileges, {}});
    fs::remove(binary);
    EXPECT_EQ(r.err, "unbcl: : cannot create: No such file or directory\n"
                     "unbcl: ADIR: cannot create: Is a directory\n"
                     "unbcl: READONLY: cannot create: Permission denied\n");
    EXPECT_EQ(readFile(a.work / "READONLY"), "keep me");
    EXPECT_EQ(readFile(a.work / "GOOD"), "b");
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Extract, WhatIsNotARegularFileIsRefusedWithoutWaitingOrWriting) {
    Archive a({{"PIPE", 0, 2}, {"DEVICE", 0, 2}, {"GOOD", 2, 2}}, "abcd");
    ASSERT_EQ(::mkfifo((a.work / "PIPE").c_str(), 0666), 0);
    fs::create_symlink("/dev/full", a.work / "DEVICE");  // followed, as links in the directory are
    // A FIFO nobody reads would block the open forever; the alarm turns a hang into a failure.
    const RunResult r = a.run([] { ::alarm(20); });
    EXPECT_EQ(r.err, "unbcl: PIPE: refused: not a regular file (a FIFO)\n"
                     "unbcl: DEVICE: refused: not a regular file (a character device)\n");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(readFile(a.work / "GOOD"), "cd");
    EXPECT_TRUE(fs::is_fifo(a.work / "PIPE"));
}

TEST(Extract, AFileWithOtherHardLinksIsReplacedNotWrittenThrough) {
    Archive a({{"SHARED", 0, 3}, {"ALONE", 3, 1}}, "newX");
    const fs::path elsewhere = a.outer / "elsewhere";
    writeFile(elsewhere, "precious bytes");
    fs::create_hard_link(elsewhere, a.work / "SHARED");
    writeFile(a.work / "ALONE", "old and long");
    const RunResult r = a.run();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(elsewhere), "precious bytes");
    EXPECT_EQ(readFile(a.work / "SHARED"), "new");
    EXPECT_EQ(readFile(a.work / "ALONE"), "X");
}

TEST(Extract, UnsafeNamesAreRefusedAndNothingIsWrittenOutsideTheDirectory) {
    Archive a({{"../ESCAPE", 0, 1}, {"sub/../../ESCAPE2", 0, 1}, {"", 0, 0}, {"GOOD", 0, 1}}, "x");
    // An absolute name into the outer scratch directory, which does exist.
    const std::string absolute = (a.outer / "ABSOLUTE").string();
    writeFile(a.work / "MOLVARE.BCL", indexFor({{"../ESCAPE", 0, 1}, {"sub/../../ESCAPE2", 0, 1},
                                                {absolute, 0, 1}, {"GOOD", 0, 1}}));
    fs::create_directory(a.work / "sub");
    const RunResult r = a.run();
    EXPECT_EQ(r.err, "unbcl: ../ESCAPE: refused: name has a '..' component\n"
                     "unbcl: sub/../../ESCAPE2: refused: name has a '..' component\n"
                     "unbcl: " + absolute + ": refused: absolute name\n");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(a.tree(), (std::set<std::string>{"work", "work/GOOD", "work/MOLVARE.BCD", "work/MOLVARE.BCL", "work/sub"}));
}

TEST(Extract, TheArchiveItselfIsNeverOverwritten) {
    const std::string data = "0123456789";
    Archive a({{"MOLVARE.BCD", 0, 2}, {"./MOLVARE.BCL", 0, 2}, {"link", 0, 2}, {"GOOD", 2, 2}}, data);
    fs::create_symlink("MOLVARE.BCD", a.work / "link");
    const std::string index = readFile(a.work / "MOLVARE.BCL");
    const RunResult r = a.run();
    EXPECT_EQ(r.err, "unbcl: MOLVARE.BCD: refused: output would overwrite the data file\n"
                     "unbcl: ./MOLVARE.BCL: refused: output would overwrite the index file\n"
                     "unbcl: link: refused: output would overwrite the data file\n");
    EXPECT_EQ(readFile(a.work / "MOLVARE.BCD"), data);
    EXPECT_EQ(readFile(a.work / "MOLVARE.BCL"), index);
    EXPECT_EQ(readFile(a.work / "GOOD"), "23");
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Extract, MembersOutsideTheDataFileGetOnlyTheBytesThatExist) {
    // Each row: the bad member, then a good one that must come out byte-exact regardless.
    struct {
        Member bad;
        std::string badBytes;
        std::string err;
    } const cases[] = {
        {{"PAST", 6, 10}, "6789", "unbcl: PAST: member runs past the end of the data file: 6 of 10 bytes missing\n"},
        {{"BEYOND", 50, 3}, "", "unbcl: BEYOND: member runs past the end of the data file: 3 of 3 bytes missing\n"},
        {{"NEGOFF", -1, 4}, "", "unbcl: NEGOFF: negative offset -1: 4 of 4 bytes missing\n"},
        {{"NEGOFF2", -2147483647 - 1, 4}, "", "unbcl: NEGOFF2: negative offset -2147483648: 4 of 4 bytes missing\n"},
        {{"NEGLEN", 2, -3}, "", "unbcl: NEGLEN: negative length -3: empty file written\n"},
        {{"HUGE", 2147483647, 2147483647}, "",
         "unbcl: HUGE: member runs past the end of the data file: 2147483647 of 2147483647 bytes missing\n"},
        {{"EMPTYPAST", 100, 0}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bad.name);
        Archive a({c.bad, {"GOOD", 1, 3}}, "0123456789");
        const RunResult r = a.run();
        EXPECT_EQ(readFile(a.work / c.bad.name), c.badBytes);
        EXPECT_EQ(readFile(a.work / "GOOD"), "123");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 4);
    }
}

TEST(Extract, DataFileCutShortAtEveryPointGivesOnlyExistingBytes) {
    // Three members of ten bytes back to back; the data file is cut at each boundary and midway.
    const std::string full = "AAAAAAAAAABBBBBBBBBBCCCCCCCCCC";
    for (std::size_t cut = 0; cut <= full.size(); cut += 5) {
        SCOPED_TRACE("data cut at " + std::to_string(cut));
        Archive a({{"A", 0, 10}, {"B", 10, 10}, {"C", 20, 10}}, full.substr(0, cut));
        const RunResult r = a.run();
        std::string err;
        for (const auto& [name, offset] : {std::pair{"A", 0ul}, {"B", 10ul}, {"C", 20ul}}) {
            const std::size_t have = cut > offset ? std::min<std::size_t>(cut - offset, 10) : 0;
            EXPECT_EQ(readFile(a.work / name), full.substr(offset, have)) << name;
            if (have < 10) {
                err += std::string("unbcl: ") + name + ": member runs past the end of the data file: " +
                       std::to_string(10 - have) + " of 10 bytes missing\n";
            }
        }
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.exitCode, err.empty() ? 0 : 4);
    }
}

TEST(Extract, ListingThatCannotBeWrittenIsReportedAfterTheExtraction) {
    Archive a({{"A", 0, 3}}, "abc");
    const auto toFull = [] {
        const int full = ::open("/dev/full", O_WRONLY);
        ::dup2(full, 1);
    };
    RunResult r = a.run(toFull);
    EXPECT_EQ(readFile(a.work / "A"), "abc");
    EXPECT_EQ(r.err, "unbcl: standard output: No space left on device\n");
    EXPECT_EQ(r.exitCode, 4);
    // A code that already says what failed is kept.
    fs::remove(a.work / "MOLVARE.BCD");
    r = runProgram({a.work, {}, UNBCL_BINARY, toFull, {}});
    EXPECT_EQ(r.err, "unbcl: standard output: No space left on device\n");
    EXPECT_EQ(r.exitCode, 2);
}

TEST(Extract, WriteFailuresAreReported) {
    const std::string data(2 << 20, 'f');
    Archive a({{"small/FULL", 0, static_cast<long>(data.size())}, {"GOOD", 0, 2}}, data);
    const SmallFileSystem small(a.work / "small");
    if (!small.mounted()) GTEST_SKIP() << "needs root to mount a small file system";
    const RunResult r = a.run();
    EXPECT_EQ(r.err, "unbcl: small/FULL: write error: No space left on device\n");
    EXPECT_EQ(readFile(a.work / "GOOD"), "ff");
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Extract, FileSizeLimitIsAWriteErrorNotACrash) {
    const std::string data(300 * 1024, 'q');
    Archive a({{"BIG", 0, static_cast<long>(data.size())}, {"SMALL", 0, 10}}, data);
    const RunResult r = a.run([] {
        const rlimit limit{100 * 1024, 100 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "unbcl: BIG: write error: File too large\n");
    EXPECT_EQ(fs::file_size(a.work / "BIG"), 100u * 1024u);
    EXPECT_EQ(readFile(a.work / "SMALL"), std::string(10, 'q'));
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Extract, LargeMemberStreamsWithBoundedMemory) {
    Archive a({}, "");
    constexpr long kSize = 80L * 1024 * 1024;
    const std::string marker = "the last bytes";
    {
        // A sparse data file: large on paper, cheap on disk.
        std::error_code ec;
        fs::resize_file(a.work / "MOLVARE.BCD", kSize, ec);
        ASSERT_FALSE(ec);
        FILE* f = std::fopen((a.work / "MOLVARE.BCD").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fseek(f, kSize - static_cast<long>(marker.size()), SEEK_SET);
        std::fwrite(marker.data(), 1, marker.size(), f);
        std::fseek(f, 1000, SEEK_SET);
        std::fputs("early", f);
        std::fclose(f);
    }
    writeFile(a.work / "MOLVARE.BCL", indexFor({{"BIG", 0, kSize}}));
    // Run directly: a child's peak memory counts what its parent held when it forked, so the
    // test must not hold the data file's bytes at that moment.
    const RunResult r = runUnbcl(a.work);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(fs::file_size(a.work / "BIG"), static_cast<std::uintmax_t>(kSize));
    EXPECT_EQ(readFile(a.work / "BIG"), readFile(a.work / "MOLVARE.BCD"));
#ifndef UNBCL_SANITIZED
    EXPECT_LT(r.maxRssKiB, 16 * 1024);
#endif
}

}  // namespace
}  // namespace unbcl::test
