// SPDX-License-Identifier: MIT
// FileSetReplacement, the commit of an archive's two files, with one system call failed at
// each step of it: the files come out old or new, never a mix, and nothing hidden is left
// once the next start has repaired what a failure could not.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStrace = "/usr/bin/strace";
constexpr const char* kTraced = "trace=openat,write,fsync,linkat,renameat,renameat2,unlinkat";

struct Archive {
    ScratchDir dir;
    Archive() {
        writeFile(dir / "A.BCD", "old data");
        writeFile(dir / "A.BCL", "old index");
    }
    std::vector<std::string> replaceArgs() const {
        return {(dir / "A.BCD").string(), (dir / "A.BCL").string(), "new data", "new index"};
    }
    bool isOld() const { return readFile(dir / "A.BCD") == "old data" && readFile(dir / "A.BCL") == "old index"; }
    bool isNew() const { return readFile(dir / "A.BCD") == "new data" && readFile(dir / "A.BCL") == "new index"; }
};

RunResult runDriver(const Archive& archive, std::vector<std::string> args, std::vector<std::string> strace = {}) {
    if (strace.empty()) return runProgram({archive.dir.path(), std::move(args), REPLACE_DRIVER_BINARY, {}, {}});
    strace.push_back(REPLACE_DRIVER_BINARY);
    strace.insert(strace.end(), args.begin(), args.end());
    return runProgram({archive.dir.path(), std::move(strace), kStrace, withoutLeakChecks, {}});
}

// Which call of syscall, counted as strace counts them for fault injection, is the nth one
// whose traced line holds match: found from a run with nothing injected.
std::optional<int> callNumber(const std::string& syscall, const std::string& match, int nth) {
    const Archive archive;
    ScratchDir logDir;
    const std::string log = (logDir / "trace").string();
    const RunResult r = runDriver(archive, archive.replaceArgs(), {"-o", log, "-e", kTraced, "-e", "signal=none"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::ifstream lines(log);
    int calls = 0;
    int matches = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(syscall + "(")) continue;
        ++calls;
        if (line.find(match) != std::string::npos && ++matches == nth) return calls;
    }
    return std::nullopt;
}

struct Fault {
    std::string step;
    std::string syscall;
    std::string match;  // in the call's traced line
    int nth;
    bool andEveryLater;  // every later call of the syscall fails too
    bool comesOutNew;
    std::string err;  // the failure's line, as the driver prints it, from "A.BC?:" on
    std::string repair;  // what the next start says it did, when the failure left it to do
};

const Fault kFaults[] = {
    {"open the new data file", "openat", "O_TMPFILE", 1, false, false, "A.BCD: cannot write: Input/output error", ""},
    {"open the new index", "openat", "O_TMPFILE", 2, false, false, "A.BCL: cannot write: Input/output error", ""},
    {"sync the new data file", "fsync", "", 1, false, false, "A.BCD: cannot write: Input/output error", ""},
    {"write the commit record", "renameat", ".bcl-record-", 1, false, false,
     "A.BCL: cannot replace: cannot write its commit record: Input/output error", ""},
    {"name the new data file", "linkat", ".bcl-replace-", 1, false, false, "A.BCD: cannot replace: Input/output error",
     ""},
    {"exchange the data file", "renameat2", "RENAME_EXCHANGE", 1, false, false,
     "A.BCD: cannot replace: Input/output error", ""},
    {"exchange the index", "renameat2", "RENAME_EXCHANGE", 2, false, false, "A.BCL: cannot replace: Input/output error",
     ""},
    {"exchange the index, and then the data file back", "renameat2", "RENAME_EXCHANGE", 2, true, false,
     "A.BCL: cannot replace: Input/output error; cannot undo an interrupted commit: cannot put its previous file "
     "back: Input/output error",
     "an interrupted commit was undone: the archive is as it was before it"},
    {"sync the directory once both are in place", "fsync", "", 5, false, true,
     "A.BCD: replaced, but its directory cannot be synced: Input/output error",
     "an interrupted commit was completed: the archive is the new one"},
    {"remove the commit record", "unlinkat", ".bcl-commit-", 1, false, true,
     "A.BCL: replaced, but its commit record cannot be removed: Input/output error",
     "an interrupted commit was completed: the archive is the new one"},
};

TEST(FileSetReplacement, AFailureAtAnyStepLeavesTheOldFilesOrTheNew) {
    ASSERT_TRUE(fs::exists(kStrace)) << "the fault injection needs strace";
    for (const Fault& fault : kFaults) {
        SCOPED_TRACE(fault.step);
        const std::optional<int> call = callNumber(fault.syscall, fault.match, fault.nth);
        ASSERT_TRUE(call) << "no such call: the commit's steps changed";
        const Archive archive;
        const std::string when = std::to_string(*call) + (fault.andEveryLater ? "+" : "");
        const RunResult r = runDriver(archive, archive.replaceArgs(),
                                      {"-o", "/dev/null", "-e", "inject=" + fault.syscall + ":error=EIO:when=" + when});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, (archive.dir / fault.err).string() + "\n");
        // A failure the commit could not undo itself leaves the record, and the files as they
        // are, to the next start (which every reader and writer makes first).
        if (fault.repair.empty()) {
            EXPECT_TRUE(fault.comesOutNew ? archive.isNew() : archive.isOld());
        }

        const RunResult next = runDriver(archive, {(archive.dir / "A.BCD").string(), (archive.dir / "A.BCL").string()});
        EXPECT_EQ(next.exitCode, 0);
        EXPECT_EQ(next.err, fault.repair.empty() ? "" : "note: " + fault.repair + "\n");
        EXPECT_TRUE(fault.comesOutNew ? archive.isNew() : archive.isOld());
        EXPECT_EQ(listTree(archive.dir.path()), (std::set<std::string>{"A.BCD", "A.BCL"}));
    }
}

TEST(FileSetReplacement, ACommitWithNothingInTheWayReplacesBothAndLeavesNothing) {
    const Archive archive;
    const RunResult r = runDriver(archive, archive.replaceArgs());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(archive.isNew());
    EXPECT_EQ(listTree(archive.dir.path()), (std::set<std::string>{"A.BCD", "A.BCL"}));
}

}  // namespace
}  // namespace unbcl::test
