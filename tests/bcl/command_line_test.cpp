// SPDX-License-Identifier: MIT
// bcl's command line: naming the archive as an operand, and what a mistyped command or option gets.
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
        {{"-i", "sub/IN.BCL", "cat", "M"}, "in a directory"},         // -i alone pairs as the operand does
        {{"-i", "Mix.Bcl", "cat", "M"}, "mixed"},
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
        // A slip of a character or two is answered with the command meant; anything further
        // off, or as near to two commands, with none.
        {{"lst"}, "bcl: unknown command 'lst' (did you mean 'list'?)\n" + commands},
        {{"G.BCL", "extrcat"}, "bcl: unknown command 'extrcat' (did you mean 'extract'?)\n" + commands},
        {{"mout"}, "bcl: unknown command 'mout' (did you mean 'mount'?)\n" + commands},
        {{"ls"}, "bcl: unknown command 'ls'\n" + commands},
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
    EXPECT_EQ(bcl(dir.path(), {"G.BCL", "help"}).out, help.out);
    const RunResult extractHelp = bcl(dir.path(), {"help", "extract"});
    EXPECT_EQ(extractHelp.out, bcl(dir.path(), {"extract", "--help"}).out);
    EXPECT_EQ(extractHelp.out.find("Exit status:"), std::string::npos);
    EXPECT_NE(extractHelp.out.find("-C,--directory DIR"), std::string::npos);
    EXPECT_EQ(extractHelp.out.find("TEXT"), std::string::npos);
}

TEST(BclCommandLine, TheArchiveMayComeBeforeTheCommand) {
    ScratchDir dir;
    writeArchive(dir / "GAME.BCL", "M", "upper");
    writeArchive(dir / "game.bcl", "M", "lower");
    fs::create_directory(dir / "sub");
    writeArchive(dir / "sub/IN.BCL", "M", "in a directory");
    writeArchive(dir / "MOLVARE.BCL", "X.BCL", "a member named X.BCL");
    struct {
        std::vector<std::string> args;
        std::string out;
    } const cases[] = {
        {{"GAME.BCL", "cat", "M"}, "upper"},
        {{"game.bcl", "cat", "M"}, "lower"},
        {{"sub/IN.BCL", "cat", "M"}, "in a directory"},
        {{"GAME.BCL", "list", "-x", "M"}, "0 members, 0 bytes\n"},
        // Once the archive is named, the first operand is a member, whatever it ends in.
        {{"MOLVARE.BCL", "cat", "X.BCL"}, "a member named X.BCL"},
        {{"MOLVARE.BCL", "cat", "--", "X.BCL"}, "a member named X.BCL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(bcl(dir.path(), c.args).out, c.out);
    }
    // Before the command, the archive word is the only operand there is; anything else is a
    // command that does not exist, and naming the archive twice is a mistake, not a choice.
    struct {
        std::vector<std::string> args;
        std::string err;
    } const mistakes[] = {
        {{"GAME.BCL", "lst"}, "bcl: unknown command 'lst' (did you mean 'list'?)\n"},
        {{"GAME.BCL"}, "bcl: a command is required\n"},
        {{"NOTES.TXT", "list"}, "bcl: unknown command 'NOTES.TXT'\n"},
        {{"game.bcl", "-d", "GAME.BCD", "cat", "M"},
         "bcl cat: game.bcl: the archive is already named by -i or -d\nTry 'bcl cat --help' for more information.\n"},
        {{"GAME.BCL", "umount", "m"},
         "bcl umount: GAME.BCL: umount takes no archive\nTry 'bcl umount --help' for more information.\n"},
    };
    for (const auto& c : mistakes) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const RunResult r = bcl(dir.path(), c.args);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(readFile(dir / "GAME.BCD"), "upper");
}

// A mistake in an option or an operand gets one line that says what is wrong with it, in the
// tool's words, and a pointer to the command's help; the list of commands is for a missing or
// unknown command only.
TEST(BclCommandLine, AnOptionErrorSaysWhatIsWrongWithTheOption) {
    ScratchDir dir;
    writeArchive(dir / "MOLVARE.BCL", "M", "bytes");
    writeFile(dir / "f", "file");
    struct {
        std::vector<std::string> args;
        std::string err;
    } const cases[] = {
        {{"create", "--align", "3", "NEW.BCL", "f"}, "bcl create: --align: 3 is not a power of two"},
        {{"create", "--align", "3"}, "bcl create: --align: 3 is not a power of two"},
        {{"update", "--align=0", "f"}, "bcl update: --align: 0 is not a power of two"},
        {{"append", "--align", "2147483648", "f"}, "bcl append: --align: 2147483648 is more than 1073741824"},
        {{"create", "--align", "4k", "NEW.BCL", "f"}, "bcl create: --align: 4k is not a number"},
        {{"extract", "-j", "abc"}, "bcl extract: -j: abc is not a number from 1 to 256"},
        {{"extract", "--jobs=abc"}, "bcl extract: --jobs: abc is not a number from 1 to 256"},
        {{"extract", "-j0"}, "bcl extract: -j: 0 is not a number from 1 to 256"},
        {{"extract", "--jobs", "257"}, "bcl extract: --jobs: 257 is not a number from 1 to 256"},
        {{"extract", "-j", "-1"}, "bcl extract: -j: -1 is not a number from 1 to 256"},
        {{"extract", "-C"}, "bcl extract: -C: needs a value (DIR)"},
        {{"list", "--exclude"}, "bcl list: --exclude: needs a value (PATTERN)"},
        {{"list", "-i"}, "bcl list: -i: needs a value (FILE)"},
        {{"extract", "-C", "a", "--directory", "b"}, "bcl extract: --directory: given more than once"},
        {{"list", "--hash", "sha1,sha3"}, "bcl list: --hash: 'sha3' is not crc32, md5, sha1 or sha256"},
        {{"list", "--json=maybe"}, "bcl list: --json: takes no value"},
        {{"extract", "--frobnicate"}, "bcl extract: --frobnicate: unknown option"},
        {{"list", "--jsn"}, "bcl list: --jsn: unknown option (did you mean --json?)"},
        {{"list", "--hepl"}, "bcl list: --hepl: unknown option (did you mean --help?)"},
        {{"extract", "--directroy=out"}, "bcl extract: --directroy=out: unknown option (did you mean --directory?)"},
        {{"extract", "-kz"}, "bcl extract: -z: unknown option"},
        {{"list", "--json", "-C", "x"}, "bcl list: -C: unknown option"},
        {{"extract", "--progress", "--no-progress"}, "bcl extract: --progress and --no-progress exclude each other"},
        {{"cat"}, "bcl cat: name the members to print"},
        {{"rename", "M"}, "bcl rename: give the member's name and its new name"},
        {{"create", "NEW.BCL"}, "bcl create: name the files to put in the archive, or a list of them with -T"},
        {{"mount"}, "bcl mount: give the mount point (after the archive, if named)"},
        {{"umount"}, "bcl umount: give the mount point"},
        {{"umount", "a", "b"}, "bcl umount: b: unexpected operand"},
        {{"umount", "--", "a", "b"}, "bcl umount: b: unexpected operand"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const RunResult r = bcl(dir.path(), c.args);
        const std::string command = c.err.substr(0, c.err.find(':'));
        EXPECT_EQ(r.err, c.err + "\nTry '" + command + " --help' for more information.\n");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(dir / "NEW.BCL"));
    EXPECT_EQ(readFile(dir / "MOLVARE.BCD"), "bytes");
    // The values that are right still work, in every spelling.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"extract", "-j", "256", "-C", "a"},
                                                 {"extract", "--jobs=1", "--directory=b"}, {"extract", "-j2", "-Cc"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const RunResult r = bcl(dir.path(), args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
    }
    EXPECT_EQ(readFile(dir / "a/M"), "bytes");
    EXPECT_EQ(readFile(dir / "b/M"), "bytes");
    EXPECT_EQ(readFile(dir / "c/M"), "bytes");
}

// --help is worded by bcl: the parser's notation for types, ranges, choices and exclusions
// stays out of it.
TEST(BclCommandLine, HelpShowsNoParserNotation) {
    ScratchDir dir;
    const std::string commands[] = {"list",   "test",   "extract", "cat",   "create", "update",
                                    "append", "delete", "rename",  "mount", "umount"};
    std::vector<std::string> helps{bcl(dir.path(), {"--help"}).out};
    for (const std::string& command : commands) helps.push_back(bcl(dir.path(), {command, "--help"}).out);
    for (const std::string& help : helps) {
        SCOPED_TRACE(help.substr(0, help.find('\n')));
        EXPECT_NE(help.find("Usage: bcl"), std::string::npos);
        for (const char* notation : {":UINT", ":INT", " in [", ":{", "Excludes", "REQUIRED", "Subcommand", "SUBCOMMAND",
                                     "Print this help message", "Display program version"}) {
            EXPECT_EQ(help.find(notation), std::string::npos) << notation;
        }
    }
    EXPECT_NE(helps[3].find("-j,--jobs N "), std::string::npos) << helps[3];
    EXPECT_NE(helps.back().find("Usage: bcl umount [OPTIONS] MOUNTPOINT\n"), std::string::npos) << helps.back();
}

}  // namespace
}  // namespace unbcl::test
