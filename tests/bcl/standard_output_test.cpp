// SPDX-License-Identifier: MIT
// What bcl writes to standard output: a failed write is a failure, a reader that stops is not.
#include <gtest/gtest.h>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

TEST(BclStandardOutput, AFullDiskIsReportedByEveryCommandThatPrints) {
    Made archive(FileSet{{"a", "first"}});
    const std::vector<std::string> commands[] = {{"list"}, {"list", "--json"}, {"test"}, {"cat", "a"},
                                                 {"--help"}, {"--version"}, {"extract", "--help"}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command.front() + (command.size() > 1 ? " " + command[1] : ""));
        std::vector<std::string> args{"-i", archive.index.string(), "-d", archive.data.string()};
        args.insert(args.end(), command.begin(), command.end());
        const RunResult r = runProgram({archive.dir.path(), args, BCL_BINARY, {}, "/dev/full"});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    }
}

TEST(BclStandardOutput, AReaderThatStopsEndsCatQuietly) {
    Made archive(FileSet{{"big", std::string(4 << 20, 'b')}});
    ScratchDir scratch;
    // head leaves after one byte; the rest of the member meets a closed pipe.
    const std::string script = "'" + std::string(BCL_BINARY) + "' -i '" + archive.index.string() + "' -d '" +
                               archive.data.string() + "' cat big 2>'" + (scratch / "err").string() +
                               "' | head -c 1 >/dev/null";
    const RunResult r = runProgram({archive.dir.path(), {"-c", script}, "/bin/sh", {}, {}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(scratch / "err"), "");
}

}  // namespace
}  // namespace unbcl::test
