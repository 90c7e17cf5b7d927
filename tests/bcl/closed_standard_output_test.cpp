// SPDX-License-Identifier: MIT
// bcl started with standard output closed: a command whose output is the point fails before it
// starts, one whose output is files works as ever, and unbcl keeps its ways.
#include <unistd.h>

#include <gtest/gtest.h>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

RunResult withStandardOutputClosed(const fs::path& cwd, std::vector<std::string> args, const char* program) {
    return runProgram({cwd, std::move(args), program, [] { ::close(STDOUT_FILENO); }, {}});
}

TEST(BclClosedStandardOutput, CommandsThatPrintRefuseToRun) {
    Made archive(FileSet{{"a", "first"}});
    const std::vector<std::string> commands[] = {
        {"list"}, {"list", "--json"}, {"list", "--hash", "sha1"}, {"test"}, {"cat", "a"}, {"extract", "-C", "out", "-v"},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command.front() + (command.size() > 1 ? " " + command[1] : ""));
        std::vector<std::string> args{"-i", archive.index.string(), "-d", archive.data.string()};
        args.insert(args.end(), command.begin(), command.end());
        const RunResult r = withStandardOutputClosed(archive.dir.path(), args, BCL_BINARY);
        EXPECT_EQ(r.err, "bcl: standard output: Bad file descriptor\n");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_FALSE(fs::exists(archive.dir / "out"));
    }
    // So is the list of members added that -v asks for; nothing is written.
    writeFile(archive.src / "new", "new");
    for (const char* command : {"create", "update", "append"}) {
        SCOPED_TRACE(command);
        const RunResult r = withStandardOutputClosed(
            archive.dir.path(), {"-i", "V.BCL", "-d", "V.BCD", command, "-v", "-C", "src", "new"}, BCL_BINARY);
        EXPECT_EQ(r.err, "bcl: standard output: Bad file descriptor\n");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_FALSE(fs::exists(archive.dir / "V.BCL"));
    }
    // Help and the version are read too, or lost.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"--version"}, {"list", "--help"}}) {
        SCOPED_TRACE(args.back());
        const RunResult r = withStandardOutputClosed(archive.dir.path(), args, BCL_BINARY);
        EXPECT_EQ(r.err, "bcl: standard output: Bad file descriptor\n");
        EXPECT_EQ(r.exitCode, 2);
    }
}

TEST(BclClosedStandardOutput, CommandsThatWriteFilesStillWork) {
    Made archive(FileSet{{"a", "first"}, {"b", "second"}});
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", archive.index.string(), "-d", archive.data.string()});
        return withStandardOutputClosed(archive.dir.path(), args, BCL_BINARY);
    };
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"rename", "a", "c"}, {"delete", "b"}, {"append", "-C", "src", "b"}}) {
        SCOPED_TRACE(args.front());
        const RunResult r = run(args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
    }
    EXPECT_EQ(readFile(archive.index), "BCL ARCHIVE\n2 FILES\n[c]\n0\n5\n[b]\n5\n6\n");

    // unbcl's members are its output: it extracts them as ever.
    const fs::path out = archive.dir / "unbcl-out";
    fs::create_directory(out);
    const RunResult r =
        withStandardOutputClosed(out, {archive.index.string(), archive.data.string()}, UNBCL_BINARY);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"c", "first"}, {"b", "second"}}));
}

}  // namespace
}  // namespace unbcl::test
