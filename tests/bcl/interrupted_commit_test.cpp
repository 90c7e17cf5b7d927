// SPDX-License-Identifier: MIT
// A writer killed in the middle of its commit, at the exact system call, by strace: whatever
// runs next on the archive finds it old or new, never a mix, and says what it repaired.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bcl_support.hpp"
#include "unbcl/commit_record.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStrace = "/usr/bin/strace";

// Runs bcl under strace, which does what injection says (signal=KILL, error=EIO) as bcl enters
// the when-th call of syscall, before that call has done anything.
RunResult bclTraced(const Made& archive, std::vector<std::string> args, const std::string& syscall, int when,
                    const std::string& injection) {
    std::vector<std::string> traced{"-f", "-o", "/dev/null", "-e", "trace=" + syscall,
                                    "-e", "inject=" + syscall + ":" + injection + ":when=" + std::to_string(when),
                                    BCL_BINARY};
    traced.insert(traced.end(), args.begin(), args.end());
    return runProgram({archive.dir.path(), traced, kStrace, withoutLeakChecks, {}});
}

RunResult bclKilledAt(const Made& archive, std::vector<std::string> args, const std::string& syscall, int when) {
    return bclTraced(archive, std::move(args), syscall, when, "signal=KILL");
}

std::set<std::string> hiddenNames(const Made& archive) {
    std::set<std::string> hidden;
    for (const auto& entry : fs::directory_iterator(archive.dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".bcl-")) hidden.insert(name);
    }
    return hidden;
}

const FileSet kOld{{"a", "old a"}, {"b", "old b, longer"}};

struct Interruption {
    std::string what;
    std::vector<std::string> writer;  // run on A.BCL with the files in src
    std::string syscall;
    int when;
    bool completes;  // the kill came after the last exchange
    FileSet after;   // what the archive holds once the commit is completed
};

// The data file is exchanged first, then the index; the previous files are removed after both.
const Interruption kInterruptions[] = {
    {"update, between the exchanges", {"update", "A.BCL", "-C", "src", "a"}, "renameat2", 2, false, {}},
    {"create, between the exchanges", {"create", "A.BCL", "-C", "src", "a"}, "renameat2", 2, false, {}},
    {"delete, between the exchanges", {"delete", "A.BCL", "b"}, "renameat2", 2, false, {}},
    {"update, after the exchanges", {"update", "A.BCL", "-C", "src", "a"}, "unlinkat", 1, true,
     {{"a", "new a"}, {"b", "old b, longer"}}},
    {"delete, after the exchanges", {"delete", "A.BCL", "b"}, "unlinkat", 1, true, {{"a", "old a"}}},
};

// A new archive has nothing to exchange: its data file is given its name first, then its index.
TEST(InterruptedCommit, ANewArchiveCutShortBeforeItsIndexIsUndoneByAReader) {
    ScratchDir dir;
    writeFiles(dir / "src", {{"a", "A"}});
    std::vector<std::string> traced{"-f", "-o", "/dev/null", "-e", "inject=linkat:signal=KILL:when=2",
                                    BCL_BINARY, "create", "N.BCL", "-C", "src", "a"};
    ASSERT_NE(runProgram({dir.path(), traced, kStrace, withoutLeakChecks, {}}).exitCode, 0);
    ASSERT_TRUE(fs::exists(dir / "N.BCD"));
    ASSERT_FALSE(fs::exists(dir / "N.BCL"));
    const RunResult r = bcl(dir.path(), {"list", "N.BCL"});
    EXPECT_EQ(r.err,
              "bcl: N.BCL: an interrupted commit was undone: the archive is as it was before it\n"
              "bcl: N.BCL: cannot open: No such file or directory\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(listTree(dir.path()), (std::set<std::string>{"src", "src/a"}));
}

struct NextCommand {
    std::string what;
    std::vector<std::string> args;
    bool unbcl = false;
    int exitCode = 0;
};

const NextCommand kNextCommands[] = {
    {"list", {"list", "A.BCL"}},
    {"test", {"test", "A.BCL"}, false, 1},  // the interruption is a fault it reports
    {"cat", {"cat", "A.BCL", "a"}},
    {"extract", {"extract", "A.BCL", "-C", "out"}},
    {"unbcl", {"A.BCL", "A.BCD"}, true},
    {"a writer", {"rename", "A.BCL", "a", "c"}},
};

// What the archive holds, read back by extraction.
FileSet extracted(const Made& archive) {
    ScratchDir out;
    const RunResult r = bcl(out.path(), {"extract", archive.index.string(), "-C", "x"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return readRegularFiles(out / "x");
}

TEST(InterruptedCommit, WhatRunsNextFindsTheArchiveOldOrNewAndSaysSo) {
    for (const Interruption& cut : kInterruptions) {
        for (const NextCommand& next : kNextCommands) {
            SCOPED_TRACE(cut.what + ", then " + next.what);
            const Made archive(kOld);
            writeFile(archive.src / "a", "new a");
            const RunResult killed = bclKilledAt(archive, cut.writer, cut.syscall, cut.when);
            ASSERT_NE(killed.exitCode, 0);
            ASSERT_TRUE(fs::exists(archive.dir / ".bcl-commit-A.BCL")) << "the kill missed the commit";

            const RunResult r = next.unbcl ? runUnbcl(archive.dir.path(), next.args) : bcl(archive.dir.path(), next.args);
            const std::string program = next.unbcl ? "unbcl" : "bcl";
            const std::string said = cut.completes
                                         ? "an interrupted commit was completed: the archive is the new one"
                                         : "an interrupted commit was undone: the archive is as it was before it";
            EXPECT_TRUE(r.err.starts_with(program + ": A.BCL: " + said + "\n")) << r.err;
            EXPECT_EQ(r.exitCode, next.exitCode) << r.err;

            FileSet expected = cut.completes ? cut.after : kOld;
            if (next.args.front() == "rename") {
                expected["c"] = expected["a"];
                expected.erase("a");
            }
            EXPECT_EQ(extracted(archive), expected);
            // Nothing hidden is left beside the archive.
            for (const auto& entry : fs::directory_iterator(archive.dir.path())) {
                EXPECT_FALSE(entry.path().filename().string().starts_with(".bcl-")) << entry.path();
            }
            // And the repair is said once: the next run has nothing to say.
            EXPECT_EQ(bcl(archive.dir.path(), {"test", "A.BCL"}).err, "");
        }
    }
}

// A writer killed after it wrote its commit record, but before the record has its name, has
// changed nothing; the record it leaves under a hidden name goes with the next writer.
TEST(InterruptedCommit, AHiddenRecordOfAWriterKilledBeforeItsCommitGoesWithTheNextWriter) {
    const Made archive(kOld);
    writeFile(archive.src / "a", "new a");
    ASSERT_NE(bclKilledAt(archive, {"update", "A.BCL", "-C", "src", "a"}, "renameat", 1).exitCode, 0);
    const std::set<std::string> left = hiddenNames(archive);
    ASSERT_EQ(left.size(), 1u);
    ASSERT_TRUE(left.begin()->starts_with(".bcl-record-")) << *left.begin();
    EXPECT_EQ(extracted(archive), kOld);

    const RunResult r = bcl(archive.dir.path(), {"rename", "A.BCL", "a", "c"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(hiddenNames(archive), std::set<std::string>{});
    EXPECT_EQ(extracted(archive), (FileSet{{"c", "old a"}, {"b", "old b, longer"}}));
}

// A previous file that cannot be removed once the new ones are in place is a failure that
// says where the old copy hides; the commit record stays, and whatever runs next removes it.
TEST(InterruptedCommit, APreviousCopyThatCannotBeRemovedIsReportedAndRemovedNext) {
    const Made archive(kOld);
    writeFile(archive.src / "a", "new a");
    const RunResult failed = bclTraced(archive, {"update", "A.BCL", "-C", "src", "a"}, "unlinkat", 1, "error=EIO");
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.err.starts_with("bcl: A.BCD: replaced, but its previous copy, now .bcl-replace-")) << failed.err;
    EXPECT_TRUE(failed.err.ends_with(", cannot be removed: Input/output error\n")) << failed.err;
    EXPECT_TRUE(hiddenNames(archive).contains(".bcl-commit-A.BCL"));

    const RunResult next = bcl(archive.dir.path(), {"list", "A.BCL"});
    EXPECT_TRUE(next.err.starts_with("bcl: A.BCL: an interrupted commit was completed: the archive is the new one\n"))
        << next.err;
    EXPECT_EQ(next.exitCode, 0);
    EXPECT_EQ(hiddenNames(archive), std::set<std::string>{});
    EXPECT_EQ(extracted(archive), (FileSet{{"a", "new a"}, {"b", "old b, longer"}}));
}

// A reader that may not write beside the archive cannot repair it, and must not read a mix.
TEST(InterruptedCommit, AReaderThatCannotRepairRefusesAndSaysHow) {
    const Made archive(kOld);
    writeFile(archive.src / "a", "new a");
    ASSERT_NE(bclKilledAt(archive, {"update", "A.BCL", "-C", "src", "a"}, "renameat2", 2).exitCode, 0);
    fs::permissions(archive.dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(archive.index, fs::perms::all);
    fs::permissions(archive.data, fs::perms::all);
    const fs::path program = archive.dir / "bcl";
    fs::copy_file(BCL_BINARY, program);
    const RunResult r = runProgram({archive.dir.path(), {"list", "A.BCL"}, program.string(), dropRootPrivileges, {}});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "bcl: A.BCL: an interrupted commit needs repair, and this user cannot write its directory: "
              "Permission denied (any bcl command run on the archive by a user who may write there repairs it, "
              "for example 'bcl test A.BCL')\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(fs::exists(archive.dir / ".bcl-commit-A.BCL"));

    // unbcl ends as it does for an index it cannot open, with the same reason.
    const fs::path unbcl = archive.dir / "unbcl";
    fs::copy_file(UNBCL_BINARY, unbcl);
    const RunResult u = runProgram({archive.dir.path(), {"A.BCL", "A.BCD"}, unbcl.string(), dropRootPrivileges, {}});
    EXPECT_EQ(u.out, "listFname : A.BCL\nCan't Open A.BCL\n");
    EXPECT_TRUE(u.err.starts_with("unbcl: A.BCL: an interrupted commit needs repair, and this user cannot write its "
                                  "directory: Permission denied"))
        << u.err;
    EXPECT_EQ(u.exitCode, 1);
    EXPECT_TRUE(fs::exists(archive.dir / ".bcl-commit-A.BCL"));
}

// Anyone who may write beside an archive may leave a file under the record's name. A record that
// names a file that is not the archive's own, or one that is damaged, is refused and nothing is
// touched: a reader running as root must not delete or overwrite files on its say.
TEST(InterruptedCommit, ARecordThatIsNotAWritersIsRefusedAndNothingIsTouched) {
    const Made archive(kOld);
    ScratchDir elsewhere;
    writeFile(elsewhere / "keep", "keep");
    writeFile(elsewhere / "precious", "precious");
    const auto identity = [](const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0);
        return FileIdentity{st.st_dev, st.st_ino};
    };
    CommitRecord planted;
    planted.targets.push_back({elsewhere.path().string(), "keep", "precious", ".bcl-replace-zzzzzzzz",
                               identity(elsewhere / "keep"), identity(elsewhere / "precious")});
    const std::string indexBytes = readFile(archive.index);
    const std::string dataBytes = readFile(archive.data);
    struct {
        std::string what;
        std::string record;
        std::string said;
    } const cases[] = {
        {"a file of another directory", encodeCommitRecord(planted),
         "refused to act on the record of an interrupted commit, .bcl-commit-A.BCL: it names " +
             elsewhere.path().string() + "/keep, which is not one of the archive's files"},
        {"a damaged record", encodeCommitRecord(planted).substr(0, 40),
         "the record of an interrupted commit, .bcl-commit-A.BCL, is damaged; nothing was changed (check the "
         "archive, then remove it)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(archive.dir / ".bcl-commit-A.BCL", c.record);
        const RunResult r = bcl(archive.dir.path(), {"list", "A.BCL"});
        EXPECT_EQ(r.err, "bcl: A.BCL: " + c.said + "\n");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(readFile(elsewhere / "keep"), "keep");
        EXPECT_EQ(readFile(elsewhere / "precious"), "precious");
        EXPECT_EQ(readFile(archive.index), indexBytes);
        EXPECT_EQ(readFile(archive.data), dataBytes);
        EXPECT_TRUE(fs::exists(archive.dir / ".bcl-commit-A.BCL"));
    }
}

}  // namespace
}  // namespace unbcl::test
