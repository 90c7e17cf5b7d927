// SPDX-License-Identifier: MIT
// bcl list: rows and a total, or JSON that keeps every byte of a name.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "json.hpp"
#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclList, ListShowsRowsAndATotalAndWithLongTheHeader) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "MY\x1b LIST\n2 FILES\n[A.TXT]\n0\n5\n[esc\x1b]\n5\n-3\n[caf\xc3\xa9]\n2\n1\n[bad\xff]\n7\n0\n"s);
    const auto rows = [](const std::string& esc) {
        return "          0           5  A.TXT\n"
               "          5          -3  " + esc + "\n"
               "          2           1  caf\xc3\xa9\n"
               "          7           0  bad\xff\n"
               "4 members, 6 bytes\n";
    };
    // Into a pipe the names go as stored, so that a script can hand them back.
    const RunResult text = bcl(dir.path(), {"list"});
    EXPECT_EQ(text.out, rows("esc\x1b"));
    EXPECT_EQ(text.exitCode, 0);
    const RunResult longer = bcl(dir.path(), {"list", "-l"});
    EXPECT_EQ(longer.out, "MY\x1b LIST\n2 FILES\n" + rows("esc\x1b"));
    // On a terminal, escaped, as unbcl escapes them there.
    EXPECT_EQ(runOnATerminal(dir.path(), {"list", "-l"}, BCL_BINARY).out, "MY\\x1b LIST\n2 FILES\n" + rows("esc\\x1b"));
    // The names alone, for xargs: a line each, or each ended by a NUL.
    EXPECT_EQ(bcl(dir.path(), {"list", "-1", "*.TXT"}).out, "A.TXT\n");
    EXPECT_EQ(bcl(dir.path(), {"list", "--null"}).out, "A.TXT\0esc\x1b\0caf\xc3\xa9\0bad\xff\0"s);
    const RunResult both = bcl(dir.path(), {"list", "--json", "-1"});
    EXPECT_EQ(both.err, "bcl list: --json and --names-only exclude each other\nTry 'bcl list --help' for more information.\n");
    EXPECT_EQ(both.exitCode, 2);
    // One of a thing is not "1 members".
    EXPECT_EQ(bcl(dir.path(), {"list", "caf\xc3\xa9"}).out, "          2           1  caf\xc3\xa9\n1 member, 1 byte\n");
}

// The JSON object, as a real parser reads it: Python's json module prints what it found.
TEST(BclList, JsonIsOneObjectThatAParserReadsBack) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "HEAD\xff\n2 FILES\n[A.TXT]\n0\n5\n[esc\x1b]\n5\n-3\n[caf\xc3\xa9]\n2\n1\n[bad\xff]\n7\n0\n[D\\E]\n0\n1\n"s);
    writeFile(dir / "MOLVARE.BCD", "01234567");
    const RunResult json = runProgram({dir.path(), {"list", "--json", "--hash", "crc32,sha1"}, BCL_BINARY, {}, (dir / "out.json").string()});
    EXPECT_EQ(json.exitCode, 1);  // esc's length is negative: no bytes, but listed and reported
    const std::string script = R"(
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
print(sorted(doc))
print(doc["header1"], doc["header1_hex"], doc["header2"], doc["member_count"], doc["total_bytes"])
for m in doc["members"]:
    print(m["name"].encode().hex(), m.get("name_hex"), m.get("stored_hex"), m["offset"], m["length"], sorted(m["hashes"]), m.get("missing"))
)";
    const RunResult py = runProgram({dir.path(), {"-c", script, (dir / "out.json").string()}, "/usr/bin/python3", {}, {}});
    EXPECT_EQ(py.err, "");
    EXPECT_EQ(py.out,
              "['header1', 'header1_hex', 'header2', 'member_count', 'members', 'total_bytes']\n"
              "HEAD\xef\xbf\xbd 48454144ff 2 FILES 5 7\n"
              "412e545854 None None 0 5 ['crc32', 'sha1'] None\n"
              "6573631b None None 5 -3 ['crc32', 'sha1'] None\n"
              "636166c3a9 None None 2 1 ['crc32', 'sha1'] None\n"
              "626164efbfbd 626164ff None 7 0 ['crc32', 'sha1'] None\n"
              "442f45 None 445c45 0 1 ['crc32', 'sha1'] None\n");
}

// Checksums against the tools people check hash lists with.
TEST(BclList, HashesAgreeWithSha256sumMd5sumAndZlib) {
    FileSet files{{"empty", ""}, {"one", "x"}, {"big", std::string(300 * 1024 + 7, '\0')}};
    for (std::size_t i = 0; i < files["big"].size(); ++i) files["big"][i] = static_cast<char>((i * 7919) >> 3);
    Made archive(files);
    // A member past the end: its checksums cover the bytes that exist, and it is flagged.
    writeFile(archive.index, readFile(archive.index) + "[past]\n" + std::to_string(fs::file_size(archive.data) - 2) + "\n9\n");
    const RunResult r = archive.run({"list", "--hash", "sha256", "--hash", "md5", "--hash", "crc32"});
    EXPECT_EQ(r.err, "bcl: past: member runs past the end of the data file: 7 of 9 bytes missing "
                     "(the checksums cover the bytes that exist)\n");
    EXPECT_EQ(r.exitCode, 1);
    files["past"] = readFile(archive.data).substr(fs::file_size(archive.data) - 2);
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const fs::path sample = archive.dir / ("sample-" + name);
        writeFile(sample, bytes);
        const auto firstWord = [](const std::string& s) { return s.substr(0, s.find_first_of(" \n")); };
        const std::string sha256 = firstWord(runProgram({archive.dir.path(), {sample.string()}, "/usr/bin/sha256sum", {}, {}}).out);
        const std::string md5 = firstWord(runProgram({archive.dir.path(), {sample.string()}, "/usr/bin/md5sum", {}, {}}).out);
        const std::string crc = firstWord(runProgram({archive.dir.path(), {"-c",
            "import sys, zlib; print('%08x' % zlib.crc32(open(sys.argv[1], 'rb').read()))", sample.string()},
            "/usr/bin/python3", {}, {}}).out);
        EXPECT_NE(r.out.find("  " + sha256 + "  " + md5 + "  " + crc + "  " + name + "\n"), std::string::npos) << r.out;
    }
}

TEST(BclList, PatternsSelectMembers) {
    ScratchDir dir;
    std::string index = "H\nH\n";
    for (const char* name : {"GFX/TITLE.BMP", "GFX/SUB/ICON.BMP", "SND/INTRO.WAV", "a[1].txt", "readme.txt", "GFXTRA.DAT"}) {
        index += "["s + name + "]\n0\n0\n";
    }
    writeFile(dir / "MOLVARE.BCL", index);
    struct {
        std::vector<std::string> args;  // after "list"
        std::string names;              // listed, one per line
        std::string err;
    } const cases[] = {
        {{}, "GFX/TITLE.BMP GFX/SUB/ICON.BMP SND/INTRO.WAV a[1].txt readme.txt GFXTRA.DAT", ""},
        {{"*.BMP"}, "GFX/TITLE.BMP GFX/SUB/ICON.BMP", ""},  // '*' crosses '/'
        {{"GFX"}, "GFX/TITLE.BMP GFX/SUB/ICON.BMP", ""},    // a directory, not a prefix of GFXTRA
        {{"GFX/"}, "GFX/TITLE.BMP GFX/SUB/ICON.BMP", ""},
        {{"GFX/SUB"}, "GFX/SUB/ICON.BMP", ""},
        {{"a[1].txt"}, "a[1].txt", ""},                     // exact, though [1] is a pattern
        {{"?eadme.txt", "SND/*"}, "SND/INTRO.WAV readme.txt", ""},  // index order, not operand order
        {{"gfx/*.bmp"}, "", "bcl: gfx/*.bmp: not found in the archive\n"},
        {{"-I", "gfx/*.bmp"}, "GFX/TITLE.BMP GFX/SUB/ICON.BMP", ""},
        {{"-I", "snd"}, "SND/INTRO.WAV", ""},
        {{"*", "-x", "GFX", "-x", "*.txt"}, "SND/INTRO.WAV GFXTRA.DAT", ""},
        {{"GFX/TITLE.BMP", "-x", "*"}, "", ""},             // exclusions win; the operand did find it
        {{"nothing*", "readme.txt"}, "readme.txt", "bcl: nothing*: not found in the archive\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"list"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        const RunResult r = bcl(dir.path(), args);
        std::string names;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > 25 && line[0] == ' ') names += (names.empty() ? "" : " ") + line.substr(25);
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 1);
    }
}

TEST(BclList, JsonNamesKeepEveryByte) {
    EXPECT_EQ(bcl::jsonNameFields("a\"b\\c"), "\"name\": \"a\\\"b\\\\c\"");
    EXPECT_EQ(bcl::jsonNameFields("\xed\xa0\x80"), "\"name\": \"\\ufffd\\ufffd\\ufffd\", \"name_hex\": \"eda080\"");
    EXPECT_EQ(bcl::jsonNameFields("\xc0\xaf"), "\"name\": \"\\ufffd\\ufffd\", \"name_hex\": \"c0af\"");
    EXPECT_EQ(bcl::jsonNameFields("\xf0\x9f\x98\x80"), "\"name\": \"\xf0\x9f\x98\x80\"");
}

TEST(BclList, MissingArchiveFilesCannotRun) {
    ScratchDir dir;
    for (const std::string command : {"list", "test", "extract"}) {
        const RunResult r = bcl(dir.path(), {command});
        EXPECT_EQ(r.err, "bcl: MOLVARE.BCL: cannot open: No such file or directory\n");
        EXPECT_EQ(r.exitCode, 2);
    }
    writeFile(dir / "MOLVARE.BCL", "H\nH\n");
    const RunResult r = bcl(dir.path(), {"test"});
    EXPECT_EQ(r.err, "bcl: MOLVARE.BCD: cannot open: No such file or directory\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(bcl(dir.path(), {"frobnicate"}).exitCode, 2);
    // A FIFO with no writer neither holds the run nor passes for a data file.
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[a]\n0\n1\n");
    ASSERT_EQ(::mkfifo((dir / "MOLVARE.BCD").c_str(), 0644), 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"test"}, {"extract", "-C", "out"}, {"cat", "a"}}) {
        const RunResult fifo = runProgram({dir.path(), args, BCL_BINARY, [] { ::alarm(20); }, {}});
        EXPECT_EQ(fifo.err, "bcl: MOLVARE.BCD: cannot open: not a regular file (a FIFO)\n") << args.front();
        EXPECT_EQ(fifo.exitCode, 2) << args.front();
    }
}

}  // namespace
}  // namespace unbcl::test
