// SPDX-License-Identifier: MIT
// What bcl writes to standard output: a failed write is a failure, a reader that stops is not.
#include <fcntl.h>
#include <unistd.h>

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

TEST(BclStandardOutput, NothingIsPrintedIntoTheArchive) {
    // "bcl cat X >> MOLVARE.BCD" would append the member to the archive it came from.
    Made archive(FileSet{{"a", "first"}});
    const std::string data = readFile(archive.data);
    const std::string dataPath = archive.data.string();
    for (const std::vector<std::string>& command : {std::vector<std::string>{"cat", "a"}, {"list"}, {"test"}}) {
        std::vector<std::string> args{"-i", archive.index.string(), "-d", dataPath};
        args.insert(args.end(), command.begin(), command.end());
        const RunResult r = runProgram({archive.dir.path(), args, BCL_BINARY, [dataPath] {
                                            const int fd = ::open(dataPath.c_str(), O_WRONLY | O_APPEND);
                                            ::dup2(fd, 1);
                                            ::close(fd);
                                        }, {}});
        EXPECT_EQ(r.err, "bcl: standard output: refused: it is the data file\n");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(readFile(archive.data), data);
    }
}

// Hard links of one file are one file: an index and a data file that are the same file are
// refused however they are reached.
TEST(BclStandardOutput, HardLinkedIndexAndDataAreOneFile) {
    ScratchDir dir;
    writeFile(dir / "f", "hi");
    writeFile(dir / "X.BCL", "old");
    fs::create_hard_link(dir / "X.BCL", dir / "X.BCD");
    const RunResult r = bcl(dir.path(), {"create", "X.BCL", "f"});
    EXPECT_EQ(r.err, "bcl: X.BCD: refused: the same file as the index, X.BCL\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(readFile(dir / "X.BCL"), "old");
}

}  // namespace
}  // namespace unbcl::test
