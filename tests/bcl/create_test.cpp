// SPDX-License-Identifier: MIT
// bcl create end to end: archives that read back, refusals that leave nothing behind.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <random>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclCreate, RoundTripsThroughUnbclAndExtractOnGeneratedFileSets) {
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

TEST(BclCreate, CreateIsDeterministicAndWritesTheUsualLayout) {
    const FileSet files{{"a.txt", "hello"}, {"sub/b.bin", "world!"}};
    Made first(files, {"-H", "MY ARCHIVE"});
    EXPECT_EQ(readFile(first.index), "MY ARCHIVE\n2 FILES\n[a.txt]\n0\n5\n[sub/b.bin]\n5\n6\n");
    EXPECT_EQ(readFile(first.data), "helloworld!");
    Made second(files, {"-H", "MY ARCHIVE"});
    EXPECT_EQ(readFile(second.index), readFile(first.index));
    EXPECT_EQ(readFile(second.data), readFile(first.data));
}

TEST(BclCreate, CreateRefusesWhatWouldNotReadBackAndLeavesNothingBehind) {
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
        {{"alink"}, "bcl: alink: refused: a symbolic link (--dereference follows links)\n"},
        {{"back\\slash"}, "bcl: back\\slash: refused: name holds a backslash, a directory separator to bcl "
                           "(--literal-names keeps it)\n"},
        {{"C:x"}, "bcl: C:x: refused: absolute name (drive letter)\n"},
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
        fs::create_symlink("ok", dir / "alink");
        writeFile(dir / "back\\slash", "x");
        writeFile(dir / "C:x", "x");
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

// Packing a folder as tar and zip pack one: what is no file to add is reported and skipped,
// the archive in the folder is not packed into itself, and the rest goes in (exit 1 when
// something was skipped). --strict writes nothing instead.
TEST(BclCreate, ATreeIsPackedLessWhatIsNoFileItsOwnArchiveAndTheExcludes) {
    ScratchDir dir;
    writeFiles(dir / "tree", {{"a.txt", "a"}, {"b.log", "b"}, {"sub/c.txt", "c"}, {"sub/.git/config", "g"},
                              {"back\\slash", "x"}});
    fs::create_symlink("a.txt", dir / "tree/link");
    ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);
    writeFile(dir / "excluded", "*.log\r\nsub\r\n");  // a list written on DOS
    // The walk's own findings come first, then what the names of the files it found allow.
    const std::string walked = "bcl: fifo: skipped: not a regular file (a FIFO)\n"
                               "bcl: link: skipped: a symbolic link (--dereference follows links)\n";
    const std::string badName = "bcl: back\\slash: skipped: name holds a backslash, a directory separator to bcl "
                                "(--literal-names keeps it)\n";
    const std::string skipped = walked + badName;
    const std::string ownArchive = walked +
                                   "bcl: GAME.BCD: warning: skipped: it is the archive being written\n"
                                   "bcl: GAME.BCL: warning: skipped: it is the archive being written\n" +
                                   badName;
    const std::string all = "a.txt\nb.log\nsub/.git/config\nsub/c.txt\n";
    const struct {
        std::vector<std::string> extra;
        std::string err;
        std::string members;
    } cases[] = {
        {{}, skipped, all},
        {{}, ownArchive, all},  // the archive is in the tree now
        {{"-x", "*.log", "--exclude=sub"}, ownArchive, "a.txt\n"},
        {{"-x", ".git"}, ownArchive, "a.txt\nb.log\nsub/c.txt\n"},  // from any component on
        {{"--exclude-from", (dir / "excluded").string()}, ownArchive, "a.txt\n"},
        {{"--strict"},
         "bcl: fifo: refused: not a regular file (a FIFO)\n"
         "bcl: link: refused: a symbolic link (--dereference follows links)\n",
         "a.txt\n"},  // nothing written: the archive stays as the run before left it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.extra));
        std::vector<std::string> args{"create", "tree/GAME.BCL", "-C", "tree", "."};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const RunResult r = bcl(dir.path(), args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(bcl(dir.path(), {"list", "-1", "tree/GAME.BCL"}).out, c.members);
    }
}

TEST(BclCreate, CreateAllowsDuplicatesWhenAsked) {
    Made archive(FileSet{{"a", "x"}}, {"--allow-duplicates", "a"});
    EXPECT_EQ(readFile(archive.index), "BCL ARCHIVE\n2 FILES\n[a]\n0\n1\n[a]\n1\n1\n");
}

// Names in an old code page: create writes them in it, extract brings them back as UTF-8,
// and the index holds the code page's bytes, as old tools expect.
TEST(BclCreate, CodePageNamesRoundTrip) {
    struct {
        std::string charset;
        std::string name;     // UTF-8, as the file is named here
        std::string stored;   // the bytes the index holds
    } const cases[] = {
        {"CP437", "\xc3\x84RGER.TXT", "\x8eRGER.TXT"},                                  // Ä
        {"CP437", "sub/\xc3\xbc\xc3\xa9.TXT", "sub/\x81\x82.TXT"},                     // üé
        {"CP932", "\xe8\xa1\xa8.TXT", "\x95\x5c.TXT"},                                 // 表: 0x5C inside a character
        {"CP932", "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88", "\x83\x65\x83\x58\x83\x67"},  // テスト
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.charset + " " + c.stored);
        Made archive(FileSet{{c.name, "bytes of " + c.stored}}, {"--charset", c.charset});
        EXPECT_NE(readFile(archive.index).find("[" + c.stored + "]\n"), std::string::npos) << readFile(archive.index);
        const fs::path out = archive.dir / "out";
        const RunResult r = archive.run({"extract", "--charset", c.charset, "-C", out.string()});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(readRegularFiles(out), (FileSet{{c.name, "bytes of " + c.stored}}));
    }
    // A name the code page cannot hold is refused, and no archive is written.
    ScratchDir dir;
    writeFile(dir / "\xe2\x82\xac.TXT", "euro");  // € is not in CP437
    const RunResult r = bcl(dir.path(), {"create", "NEW.BCL", "--charset", "CP437", "\xe2\x82\xac.TXT"});
    EXPECT_EQ(r.err, "bcl: \xe2\x82\xac.TXT: refused: the name cannot be written in CP437: "
                     "Invalid or incomplete multibyte or wide character\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(dir / "NEW.BCL"));
}

}  // namespace
}  // namespace unbcl::test
