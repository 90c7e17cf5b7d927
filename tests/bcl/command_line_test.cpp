// SPDX-License-Identifier: MIT
// bcl's command line: naming the archive as an operand, and what a mistyped command gets.
#include <gtest/gtest.h>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

void writeArchive(const fs::path& index, const std::string& member, const std::string& bytes) {
    writeFile(index, "H\nH\n[" + member + "]\n0\n" + std::to_string(bytes.size()) + "\n");
    std::string data = index.string();
    data.back() = data.back() == 'L' ? 'D' : data.back() == 'l' ? 'd' : 'X';
    writeFile(data, bytes);
}

TEST(BclCommandLine, TheFirstOperandNamesTheArchiveWhenItEndsInBcl) {
    ScratchDir dir;
    writeArchive(dir / "GAME.BCL", "M", "upper");
    writeArchive(dir / "game.bcl", "M", "lower");
    writeArchive(dir / "Mix.Bcl", "M", "mixed");
    fs::create_directory(dir / "sub");
    writeArchive(dir / "sub/IN.BCL", "M", "in a directory");
    writeArchive(dir / "MOLVARE.BCL", "X.BCL", "a member named X.BCL");
    writeFile(dir / "other.bcd", "other data");
    struct {
        std::vector<std::string> args;
        std::string out;
    } const cases[] = {
        {{"cat", "GAME.BCL", "M"}, "upper"},
        {{"cat", "game.bcl", "M"}, "lower"},
        {{"cat", "Mix.Bcl", "M"}, "mixed"},
        {{"cat", "sub/IN.BCL", "M"}, "in a directory"},
        {{"cat", "X.BCL"}, ""},  // the operand was taken as an archive that does not exist
        {{"-i", "MOLVARE.BCL", "cat", "X.BCL"}, "a member named X.BCL"},
        {{"cat", "--", "X.BCL"}, "a member named X.BCL"},
        {{"-i", "game.bcl", "-d", "GAME.BCD", "cat", "M"}, "upper"},  // -i and -d pair any two files
        {{"-d", "other.bcd", "cat", "game.bcl"}, ""},  // after -d, game.bcl is a member name
        {{"list", "game.bcl", "-x", "M"}, "0 members, 0 bytes\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(bcl(dir.path(), c.args).out, c.out);
    }
}

TEST(BclCommandLine, AMistypedOrMissingCommandListsTheCommands) {
    ScratchDir dir;
    const std::string commands = "commands: list, test, extract, cat, create, update, append, delete, rename, mount, umount\nTry 'bcl --help' for more information.\n";
    struct {
        std::vector<std::string> args;
        std::string err;
    } const cases[] = {
        {{"lst"}, "bcl: unknown command 'lst'\n" + commands},
        {{"-i", "X.BCL", "frobnicate"}, "bcl: unknown command 'frobnicate'\n" + commands},
        {{}, "bcl: a command is required\n" + commands},
        {{"help", "nope"}, "bcl: unknown command 'nope'\n" + commands},
    };
    for (const auto& c : cases) {
        const RunResult r = bcl(dir.path(), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
    }
    // help is --help in other words, and the exit status is told once, under the program's own.
    const RunResult help = bcl(dir.path(), {"help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out, bcl(dir.path(), {"--help"}).out);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
    const RunResult extractHelp = bcl(dir.path(), {"help", "extract"});
    EXPECT_EQ(extractHelp.out, bcl(dir.path(), {"extract", "--help"}).out);
    EXPECT_EQ(extractHelp.out.find("Exit status:"), std::string::npos);
    EXPECT_NE(extractHelp.out.find("-C,--directory DIR"), std::string::npos);
    EXPECT_EQ(extractHelp.out.find("TEXT"), std::string::npos);
}

}  // namespace
}  // namespace unbcl::test
