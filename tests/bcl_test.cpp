// The companion tool end to end: what it prints, the files it makes, its exit codes.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "bcl_commands.hpp"
#include "test_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

RunResult bcl(const fs::path& cwd, std::vector<std::string> args) {
    return runProgram({cwd, std::move(args), BCL_BINARY, {}, {}});
}

// Files by relative name, as a test writes them and expects them back.
using FileSet = std::map<std::string, std::string>;

void writeFiles(const fs::path& root, const FileSet& files) {
    for (const auto& [name, bytes] : files) {
        fs::create_directories((root / name).parent_path());
        writeFile(root / name, bytes);
    }
}

FileSet readRegularFiles(const fs::path& root) {
    FileSet files;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) files[fs::relative(item.path(), root).string()] = readFile(item.path());
    }
    return files;
}

// A source directory holding files, and an archive made of them with bcl create.
struct Made {
    ScratchDir dir;
    fs::path src = dir / "src";
    fs::path index = dir / "A.BCL";
    fs::path data = dir / "A.BCD";

    explicit Made(const FileSet& files, std::vector<std::string> extraArgs = {}) {
        fs::create_directory(src);
        writeFiles(src, files);
        std::vector<std::string> args{"-i", index.string(), "-d", data.string(), "create"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        for (const auto& [name, bytes] : files) args.push_back(name);
        const RunResult r = bcl(src, args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
    }
    RunResult run(std::vector<std::string> args, const fs::path& cwd = {}) const {
        std::vector<std::string> all{"-i", index.string(), "-d", data.string()};
        all.insert(all.end(), args.begin(), args.end());
        return bcl(cwd.empty() ? dir.path() : cwd, all);
    }
};

TEST(Bcl, RoundTripsThroughUnbclAndExtractOnGeneratedFileSets) {
    std::mt19937 rng(20261210);
    const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 6; ++round) {
        FileSet files;
        const int count = pick(1, 12);
        while (static_cast<int>(files.size()) < count) {
            std::string name = (pick(0, 2) == 0 ? "dir" + std::to_string(pick(0, 2)) + "/" : "") + "f" +
                               std::to_string(pick(0, 999)) + (pick(0, 1) ? ".bin" : " with space");
            // Sizes from empty to a few MiB, with every byte value.
            const int size = pick(0, 3) == 0 ? pick(0, 3 << 20) : pick(0, 600);
            std::string bytes(static_cast<std::size_t>(size), '\0');
            for (char& b : bytes) b = static_cast<char>(pick(0, 255));
            files[name] = bytes;
        }
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(files.size()) + " files");
        Made archive(files);

        // unbcl makes no directories: they are made beforehand, as a user would.
        const fs::path viaUnbcl = archive.dir / "via-unbcl";
        fs::create_directory(viaUnbcl);
        for (const auto& [name, bytes] : files) fs::create_directories((viaUnbcl / name).parent_path());
        const RunResult u = runUnbcl(viaUnbcl, {archive.index.string(), archive.data.string()});
        EXPECT_EQ(u.err, "");
        EXPECT_EQ(u.exitCode, 0);
        EXPECT_EQ(readRegularFiles(viaUnbcl), files);

        const fs::path viaBcl = archive.dir / "via-bcl";
        fs::create_directory(viaBcl);
        const RunResult b = archive.run({"extract", "-C", viaBcl.string()});
        EXPECT_EQ(b.err, "");
        EXPECT_EQ(b.exitCode, 0);
        EXPECT_EQ(readRegularFiles(viaBcl), files);
    }
}

TEST(Bcl, CreateIsDeterministicAndWritesTheUsualLayout) {
    const FileSet files{{"a.txt", "hello"}, {"sub/b.bin", "world!"}};
    Made first(files, {"-H", "MY ARCHIVE"});
    EXPECT_EQ(readFile(first.index), "MY ARCHIVE\n2 FILES\n[a.txt]\n0\n5\n[sub/b.bin]\n5\n6\n");
    EXPECT_EQ(readFile(first.data), "helloworld!");
    Made second(files, {"-H", "MY ARCHIVE"});
    EXPECT_EQ(readFile(second.index), readFile(first.index));
    EXPECT_EQ(readFile(second.data), readFile(first.data));
}

TEST(Bcl, CreateRefusesWhatWouldNotReadBackAndLeavesNothingBehind) {
    struct {
        std::vector<std::string> args;  // after "create"
        std::string err;
    } const cases[] = {
        {{"-H", "a\nb", "ok"}, "bcl: a\\x0ab: refused header line: holds a line feed\n"},
        {{"-H", std::string(99, 'h'), "ok"}, "bcl: " + std::string(99, 'h') + ": refused header line: longer than 98 characters\n"},
        {{"-H", "1", "-H", "2", "-H", "3", "ok"}, "bcl: at most two header lines (-H) can be given\n"},
        {{"ok", "ok"}, "bcl: ok: refused: named twice (--allow-duplicates keeps both)\n"},
        {{"../outside"}, "bcl: ../outside: refused: name has a '..' component\n"},
        {{"/etc/hostname"}, "bcl: /etc/hostname: refused: absolute name\n"},
        {{""}, "bcl: : refused: empty name\n"},
        {{"cr\rname"}, "bcl: cr\\x0dname: refused: name holds a carriage return\n"},
        {{"lf\nname"}, "bcl: lf\\x0aname: refused: name holds a line feed\n"},
        {{"eof\x1aname"}, "bcl: eof\\x1aname: refused: name holds a 0x1A byte, which ends an index\n"},
        {{std::string(97, 'n')}, "bcl: " + std::string(97, 'n') + ": refused: name longer than 96 characters\n"},
        {{"adir"}, "bcl: adir: cannot read: Is a directory\n"},
        {{"missing"}, "bcl: missing: cannot read: No such file or directory\n"},
        {{"OLD.BCD"}, "bcl: OLD.BCD: refused: it is the archive being written\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        ScratchDir dir;
        writeFile(dir / "ok", "fine");
        writeFile(dir / "cr\rname", "x");
        writeFile(dir / "lf\nname", "x");
        writeFile(dir / "eof\x1aname", "x");
        writeFile(dir / std::string(97, 'n'), "x");
        fs::create_directory(dir / "adir");
        writeFile(dir / "OLD.BCL", "previous index");
        writeFile(dir / "OLD.BCD", "previous data");
        const auto before = listTree(dir.path());
        std::vector<std::string> args{"-i", "OLD.BCL", "-d", "OLD.BCD", "create"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = bcl(dir.path(), args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(listTree(dir.path()), before);  // no temporary file, no new archive
        EXPECT_EQ(readFile(dir / "OLD.BCL"), "previous index");
        EXPECT_EQ(readFile(dir / "OLD.BCD"), "previous data");
    }
}

TEST(Bcl, CreateAllowsDuplicatesWhenAsked) {
    Made archive(FileSet{{"a", "x"}}, {"--allow-duplicates", "a"});
    EXPECT_EQ(readFile(archive.index), "BCL ARCHIVE\n2 FILES\n[a]\n0\n1\n[a]\n1\n1\n");
}

TEST(Bcl, ListShowsRowsAndATotalOrJson) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[A.TXT]\n0\n5\n[esc\x1b]\n5\n-3\n[caf\xc3\xa9]\n2\n1\n[bad\xff]\n7\n0\n"s);
    const RunResult text = bcl(dir.path(), {"list"});
    EXPECT_EQ(text.out, "          0           5  A.TXT\n"
                        "          5          -3  esc\\x1b\n"
                        "          2           1  caf\xc3\xa9\n"
                        "          7           0  bad\xff\n"
                        "4 members, 6 bytes\n");
    EXPECT_EQ(text.exitCode, 0);
    const RunResult json = bcl(dir.path(), {"list", "--json"});
    EXPECT_EQ(json.out, "[\n"
                        "  {\"name\": \"A.TXT\", \"offset\": 0, \"length\": 5},\n"
                        "  {\"name\": \"esc\\u001b\", \"offset\": 5, \"length\": -3},\n"
                        "  {\"name\": \"caf\xc3\xa9\", \"offset\": 2, \"length\": 1},\n"
                        "  {\"name\": \"bad\\ufffd\", \"name_hex\": \"626164ff\", \"offset\": 7, \"length\": 0}\n"
                        "]\n");
    EXPECT_EQ(json.exitCode, 0);
}

TEST(Bcl, JsonNamesKeepEveryByte) {
    EXPECT_EQ(bcl::jsonNameFields("a\"b\\c"), "\"name\": \"a\\\"b\\\\c\"");
    EXPECT_EQ(bcl::jsonNameFields("\xed\xa0\x80"), "\"name\": \"\\ufffd\\ufffd\\ufffd\", \"name_hex\": \"eda080\"");
    EXPECT_EQ(bcl::jsonNameFields("\xc0\xaf"), "\"name\": \"\\ufffd\\ufffd\", \"name_hex\": \"c0af\"");
    EXPECT_EQ(bcl::jsonNameFields("\xf0\x9f\x98\x80"), "\"name\": \"\xf0\x9f\x98\x80\"");
}

TEST(Bcl, TestFindsWhatIsWrongAndNotesWhatIsMerelyUnusual) {
    struct {
        std::string index;
        std::string err;
        int exitCode;
    } const cases[] = {
        {"H\nH\n[A]\n0\n4\n[B]\n4\n4\n", "", 0},
        {"H\nH\n[A]\n0\n4\n[A]\n4\n4\n[C]\n2\n4\n",
         "bcl: A: warning: named 2 times; extraction keeps the last entry's bytes\n"
         "bcl: C: note: overlaps A\nbcl: A: note: overlaps C\n",
         0},
        {"H\nH\n[A]\n0\n4\n[B]\n", "bcl: MOLVARE.BCL:6: reading stopped: end of file inside a record\n", 1},
        {"H\nH\n[../x]\n0\n1\n[/abs]\n1\n1\n[]\n2\n1\n",
         "bcl: ../x: unsafe name: has a '..' component\nbcl: /abs: unsafe name: absolute\nbcl: : empty name\n", 1},
        {"H\nH\n[PAST]\n6\n4\n[NEG]\n-1\n1\n[NEGLEN]\n0\n-2\n",
         "bcl: PAST: runs past the end of the data file: 2 of 4 bytes missing\nbcl: NEG: negative offset -1\n"
         "bcl: NEGLEN: negative length -2\n",
         1},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL", c.index);
        writeFile(dir / "MOLVARE.BCD", "01234567");
        const auto before = listTree(dir.path());
        const RunResult r = bcl(dir.path(), {"test"});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(listTree(dir.path()), before);
    }
}

TEST(Bcl, MissingArchiveFilesCannotRun) {
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
}

TEST(Bcl, ExtractChosenMembersIntoADirectoryCreatingWhatNamesNeed) {
    Made archive(FileSet{{"a.txt", "A"}, {"deep/er/b.txt", "B"}, {"c.txt", "C"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    const RunResult r = archive.run({"extract", "-C", out.string(), "deep/er/b.txt", "c.txt", "absent"});
    EXPECT_EQ(r.err, "bcl: absent: not in the archive\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"deep/er/b.txt", "B"}, {"c.txt", "C"}}));
}

TEST(Bcl, ExtractKeepsOldFilesWhenAsked) {
    Made archive(FileSet{{"a.txt", "new"}, {"b.txt", "B"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    writeFile(out / "a.txt", "old");
    const RunResult r = archive.run({"extract", "-k", "-C", out.string()});
    EXPECT_EQ(r.err, "bcl: a.txt: kept the existing file\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"a.txt", "old"}, {"b.txt", "B"}}));
}

TEST(Bcl, ExtractRefusesSymbolicLinksThatLeadOutOfTheDirectory) {
    Made archive(FileSet{{"sub/x", "X"}, {"inside/y", "Y"}, {"last", "L"}});
    const fs::path out = archive.dir / "out";
    const fs::path elsewhere = archive.dir / "elsewhere";
    fs::create_directories(out / "real");
    fs::create_directory(elsewhere);
    fs::create_symlink(elsewhere, out / "sub");            // leads out: refused
    fs::create_symlink("real", out / "inside");            // stays inside: followed
    fs::create_symlink(elsewhere / "last", out / "last");  // the member itself is a link out
    const RunResult r = archive.run({"extract", "-C", out.string()});
    EXPECT_EQ(r.err, "bcl: last: refused: a symbolic link leads out of the extraction directory\n"
                     "bcl: sub/x: refused: a symbolic link leads out of the extraction directory\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(readFile(out / "real/y"), "Y");
}

TEST(Bcl, ExtractShowsProgressOnATerminalAndClearsIt) {
    Made archive(FileSet{{"a", std::string(3 << 20, 'a')}, {"b", "bb"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    writeFile(archive.dir / "err", "");
    const int err = ::open((archive.dir / "err").c_str(), O_WRONLY);
    // In process, with no delay before the line appears, and an error to show it is cleared.
    writeFile(out / "b", "old");
    const bcl::ExtractOptions options{out.string(), true, {}};
    const int code = bcl::extractArchive({archive.index.string(), archive.data.string()}, options,
                                         {1, err, true, std::chrono::milliseconds(0)});
    ::close(err);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile(archive.dir / "err"), "\r\x1b[Kbcl: 1 of 2 members, 3 of 3 MiB"
                                             "\r\x1b[Kbcl: b: kept the existing file\n");
    EXPECT_EQ(readFile(out / "a"), std::string(3 << 20, 'a'));
}

TEST(Bcl, CatWritesMembersInTheOrderNamed) {
    Made archive(FileSet{{"a", "first"}, {"b", "second"}});
    RunResult r = archive.run({"cat", "b", "a", "b"});
    EXPECT_EQ(r.out, "secondfirstsecond");
    EXPECT_EQ(r.exitCode, 0);
    r = archive.run({"cat", "a", "nope"});
    EXPECT_EQ(r.out, "first");
    EXPECT_EQ(r.err, "bcl: nope: not in the archive\n");
    EXPECT_EQ(r.exitCode, 1);
    // Broken entries give what exists and say what does not.
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[neg]\n0\n-1\n[past]\n3\n9\n");
    writeFile(dir / "MOLVARE.BCD", "01234");
    r = bcl(dir.path(), {"cat", "neg", "past"});
    EXPECT_EQ(r.out, "34");
    EXPECT_EQ(r.err, "bcl: neg: negative length -1\n"
                     "bcl: past: member runs past the end of the data file: 7 of 9 bytes missing\n");
    EXPECT_EQ(r.exitCode, 1);
}

}  // namespace
}  // namespace unbcl::test
