// SPDX-License-Identifier: MIT
// bcl extract: chosen members beneath a directory, links, -k and progress.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <regex>

#include <gtest/gtest.h>

#include "commands.hpp"
#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace std::chrono_literals;

TEST(BclExtract, ExtractChosenMembersIntoADirectoryCreatingWhatNamesNeed) {
    Made archive(FileSet{{"a.txt", "A"}, {"deep/er/b.txt", "B"}, {"c.txt", "C"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    const RunResult r = archive.run({"extract", "-C", out.string(), "deep/er/b.txt", "c.txt", "absent"});
    EXPECT_EQ(r.err, "bcl: absent: not found in the archive\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"deep/er/b.txt", "B"}, {"c.txt", "C"}}));
}

TEST(BclExtract, ExtractKeepsOldFilesWhenAsked) {
    Made archive(FileSet{{"a.txt", "new"}, {"b.txt", "B"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    writeFile(out / "a.txt", "old");
    const RunResult r = archive.run({"extract", "-k", "-C", out.string()});
    EXPECT_EQ(r.err, "bcl: a.txt: kept the existing file\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"a.txt", "old"}, {"b.txt", "B"}}));
}

TEST(BclExtract, LinksOnTheWayMustStayInsideAndALinkAtTheNameIsReplaced) {
    Made archive(FileSet{{"sub/x", "X"}, {"inside/y", "Y"}, {"last", "L"}});
    const fs::path out = archive.dir / "out";
    const fs::path elsewhere = archive.dir / "elsewhere";
    fs::create_directories(out / "real");
    fs::create_directory(elsewhere);
    fs::create_symlink(elsewhere, out / "sub");            // leads out: refused
    fs::create_symlink("real", out / "inside");            // stays inside: followed
    fs::create_symlink(elsewhere / "last", out / "last");  // the member itself: the link is replaced
    const RunResult r = archive.run({"extract", "-C", out.string()});
    EXPECT_EQ(r.err, "bcl: sub/x: refused: a symbolic link leads out of the extraction directory\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(readFile(out / "real/y"), "Y");
    EXPECT_FALSE(fs::is_symlink(out / "last"));
    EXPECT_EQ(readFile(out / "last"), "L");
}

TEST(BclExtract, ExistingFilesAreReplacedSoHardLinksElsewhereKeepTheirBytes) {
    Made archive(FileSet{{"a.txt", "new"}, {"sub/b.txt", "B"}});
    const fs::path out = archive.dir / "out";
    fs::create_directories(out / "sub");
    writeFile(archive.dir / "precious", "precious bytes");
    fs::create_hard_link(archive.dir / "precious", out / "a.txt");
    fs::create_hard_link(archive.dir / "precious", out / "sub/b.txt");
    const RunResult r = archive.run({"extract", "-C", out.string()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(archive.dir / "precious"), "precious bytes");
    EXPECT_EQ(readRegularFiles(out), (FileSet{{"a.txt", "new"}, {"sub/b.txt", "B"}}));
}

TEST(BclExtract, WhatIsInTheWayIsReportedTrulyWithAndWithoutKeep) {
    struct {
        std::string what;
        std::function<void(const fs::path&)> place;  // puts something at the member's name
        std::string err, errKeeping;                 // without -k, with -k
        int exitCode, exitCodeKeeping;
    } const cases[] = {
        {"a regular file", [](const fs::path& p) { writeFile(p, "old"); }, "", "bcl: m: kept the existing file\n", 0, 0},
        {"a link to a file inside", [](const fs::path& p) { writeFile(p.parent_path() / "t", "old"); fs::create_symlink("t", p); },
         "", "bcl: m: kept the existing file\n", 0, 0},
        {"a directory", [](const fs::path& p) { fs::create_directory(p); },
         "bcl: m: cannot create: Is a directory\n", "bcl: m: nothing kept: a directory is in the way\n", 1, 1},
        {"a link loop", [](const fs::path& p) { fs::create_symlink("m", p); },
         "", "bcl: m: nothing kept: Too many levels of symbolic links\n", 0, 1},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); },
         "bcl: m: refused: not a regular file (a FIFO)\n", "bcl: m: nothing kept: a FIFO is in the way\n", 1, 1},
        {"a device", [](const fs::path& p) {
             if (::mknod(p.c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) GTEST_SKIP() << "needs root to make a device";
         },
         "bcl: m: refused: not a regular file (a character device)\n",
         "bcl: m: nothing kept: a character device is in the way\n", 1, 1},
    };
    for (const auto& c : cases) {
        for (const bool keep : {false, true}) {
            SCOPED_TRACE(c.what + (keep ? ", with -k" : ""));
            Made archive(FileSet{{"m", "member"}});
            const fs::path out = archive.dir / "out";
            fs::create_directory(out);
            c.place(out / "m");
            if (::testing::Test::IsSkipped()) return;
            std::vector<std::string> args{"-i", archive.index.string(), "-d", archive.data.string(),
                                          "extract", "-C", out.string()};
            if (keep) args.push_back("-k");
            // A FIFO nobody reads would block an open forever; the alarm turns a hang into a failure.
            const RunResult r = runProgram({archive.dir.path(), args, BCL_BINARY, [] { ::alarm(20); }, {}});
            EXPECT_EQ(r.err, keep ? c.errKeeping : c.err);
            EXPECT_EQ(r.exitCode, keep ? c.exitCodeKeeping : c.exitCode);
        }
    }
}

TEST(BclExtract, OptionsShapeWhatIsWritten) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[GFX/TITLE.BMP]\n0\n1\n[SND/TITLE.BMP]\n1\n1\n[README.TXT]\n2\n1\n"
                                   "[../EVIL]\n0\n1\n");
    writeFile(dir / "MOLVARE.BCD", "abc");
    const std::string refused = "bcl: ../EVIL: refused: name has a '..' component\n";
    struct {
        std::vector<std::string> args;  // after "extract -C out/deeper"
        FileSet tree;
        std::string out, err;
    } const cases[] = {
        {{}, {{"GFX/TITLE.BMP", "a"}, {"SND/TITLE.BMP", "b"}, {"README.TXT", "c"}}, "", refused},
        {{"-v", "-x", "../EVIL"}, {{"GFX/TITLE.BMP", "a"}, {"SND/TITLE.BMP", "b"}, {"README.TXT", "c"}},
         "GFX/TITLE.BMP\nSND/TITLE.BMP\nREADME.TXT\n", ""},
        {{"--flatten"}, {{"TITLE.BMP", "b"}, {"README.TXT", "c"}}, "",
         "bcl: SND/TITLE.BMP: warning: flattened onto TITLE.BMP as GFX/TITLE.BMP was; the later entry wins\n" + refused},
        {{"--junk-paths", "-L", "GFX", "README.TXT"}, {{"title.bmp", "a"}, {"readme.txt", "c"}}, "", ""},
        {{"-L", "-I", "gfx/*"}, {{"gfx/title.bmp", "a"}}, "", ""},
        {{"--no-progress", "SND"}, {{"SND/TITLE.BMP", "b"}}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const fs::path out = dir / "out";
        fs::remove_all(out);
        std::vector<std::string> args{"extract", "-C", (out / "deeper").string()};  // made with its parents
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = bcl(dir.path(), args);
        EXPECT_EQ(readRegularFiles(out / "deeper"), c.tree);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.find("refused") == std::string::npos ? 0 : 1);
    }
    // Forced on, the progress line shows even into a file, and is cleared at the end.
    const RunResult forced = bcl(dir.path(), {"extract", "-C", (dir / "forced").string(), "--progress", "README.TXT"});
    EXPECT_EQ(forced.err.substr(0, 9), "\r\x1b[Kbcl: ");
    EXPECT_EQ(forced.err.substr(forced.err.size() - 4), "\r\x1b[K");
}

// Names written on old systems: a backslash separates directories and a drive letter is absolute,
// unless names are taken literally; and names in a code page come out as UTF-8.
TEST(BclExtract, OldNamesBecomeDirectoriesAndUtf8) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[GAME\\GFX\\TITLE.BMP]\n0\n1\n[..\\ESCAPE]\n0\n1\n[\\ROOT.TXT]\n0\n1\n"
                                   "[C:\\WIN.INI]\n0\n1\n[\x8e\x81.TXT]\n1\n1\n");
    writeFile(dir / "MOLVARE.BCD", "ab");
    struct {
        std::vector<std::string> args;  // after "extract -C out"
        FileSet tree;
        std::string err;
    } const cases[] = {
        {{}, {{"GAME/GFX/TITLE.BMP", "a"}, {"\x8e\x81.TXT", "b"}},
         "bcl: ../ESCAPE: refused: name has a '..' component\n"
         "bcl: /ROOT.TXT: refused: absolute name\n"
         "bcl: C:/WIN.INI: refused: absolute name (drive letter)\n"},
        {{"--literal-names"},
         {{"GAME\\GFX\\TITLE.BMP", "a"}, {"..\\ESCAPE", "a"}, {"\\ROOT.TXT", "a"}, {"C:\\WIN.INI", "a"}, {"\x8e\x81.TXT", "b"}},
         ""},
        {{"--charset", "CP437", "*.TXT", "-x", "/*"}, {{"\xc3\x84\xc3\xbc.TXT", "b"}}, ""},
        // The stored name, backslashes and all, chooses its member, as does its directory.
        {{"GAME\\GFX\\TITLE.BMP"}, {{"GAME/GFX/TITLE.BMP", "a"}}, ""},
        {{"GAME\\GFX\\"}, {{"GAME/GFX/TITLE.BMP", "a"}}, ""},
        {{"--literal-names", "GAME\\GFX\\TITLE.BMP"}, {{"GAME\\GFX\\TITLE.BMP", "a"}}, ""},
        {{"--charset", "NO-SUCH-CODE-PAGE"}, {}, "bcl: NO-SUCH-CODE-PAGE: unknown character set: Invalid argument\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        std::vector<std::string> args{"extract", "-C", (dir / "out").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = bcl(dir.path(), args);
        EXPECT_EQ(readRegularFiles(dir / "out"), c.tree);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(BclExtract, ADoubleByteCodePageKeepsItsBackslashBytesInsideCharacters) {
    // In CP932, 0x5C is also the second byte of some characters: 0x95 0x5C is one character.
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[DIR\\\x95\x5c.TXT]\n0\n1\n[\x83\x65\x83\x58\x83\x67]\n1\n1\n[BAD\xff]\n0\n1\n");
    writeFile(dir / "MOLVARE.BCD", "ab");
    const RunResult r = bcl(dir.path(), {"extract", "--charset", "CP932", "-C", (dir / "out").string()});
    EXPECT_EQ(readRegularFiles(dir / "out"),
              (FileSet{{"DIR/\xe8\xa1\xa8.TXT", "a"}, {"\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88", "b"}}));
    EXPECT_EQ(r.err, "bcl: BAD\xff: name does not convert from CP932: Invalid or incomplete multibyte or wide character\n");
    EXPECT_EQ(r.exitCode, 1);
}

// Names that are not what they seem: each must be refused or resolved as one file, never
// written under another name or leave a directory behind.
TEST(BclExtract, NamesThatAreNotWhatTheySeem) {
    struct {
        std::string what;
        std::string index;  // records after the header
        std::vector<std::string> args;
        FileSet tree;       // everything in the output directory afterwards, "notes.txt" was there
        std::string err;
    } const cases[] = {
        {"a code page that makes a NUL", "[notes.txt+AAA-.bak]\n0\n5\n", {"--charset", "UTF-7"},
         {{"notes.txt", "precious"}},
         "bcl: notes.txt+AAA-.bak: name does not convert from UTF-7: it would hold a NUL byte\n"},
        {"a trailing separator", "[d/]\n0\n5\n[d]\n5\n3\n", {}, {{"notes.txt", "precious"}, {"d", "abc"}},
         "bcl: d/: refused: the name ends in a directory, not a file\n"},
        {"spellings of one path, the last wins", "[a/b]\n0\n5\n[a//b]\n5\n3\n[./a/./b]\n1\n1\n", {"-v"},
         {{"notes.txt", "precious"}, {"a/b", "E"}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL", "H\nH\n" + c.index);
        writeFile(dir / "MOLVARE.BCD", "HELLOabc");
        writeFiles(dir / "out", {{"notes.txt", "precious"}});
        std::vector<std::string> args{"extract", "-C", "out"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = bcl(dir.path(), args);
        EXPECT_EQ(readRegularFiles(dir / "out"), c.tree);
        EXPECT_EQ(listTree(dir / "out").size(), c.tree.size() + (c.tree.contains("a/b") ? 1 : 0));  // no stray directory
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 1);
    }
    // cat gives what extraction leaves under the name, however the index spells it.
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[a/b]\n0\n5\n[a//b]\n5\n3\n[./a/./b]\n1\n1\n");
    writeFile(dir / "MOLVARE.BCD", "HELLOabc");
    EXPECT_EQ(bcl(dir.path(), {"cat", "a/b"}).out, "E");
}

TEST(BclExtract, VerboseNamesOnlyMembersWrittenWhole) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[big]\n0\n4096\n[small]\n0\n10\n");
    writeFile(dir / "MOLVARE.BCD", std::string(4096, 'z'));
    const RunResult r = runProgram({dir.path(), {"extract", "-v", "-C", "out"}, BCL_BINARY, [] {
                                        const rlimit limit{1024, 1024};
                                        ::setrlimit(RLIMIT_FSIZE, &limit);
                                    }, {}});
    EXPECT_EQ(r.out, "small\n");
    EXPECT_EQ(r.err, "bcl: big: write error: File too large\n");
    EXPECT_EQ(r.exitCode, 1);
}

// What stands at a member's name before a run, and what must stand there after it when the
// member cannot be written whole.
struct InTheWay {
    std::string what;
    std::function<void(const fs::path& out)> make;
    FileSet after;  // regular files below the scratch directory's "out" and "elsewhere"
};

TEST(BclExtract, AMemberNotWrittenWholeLeavesWhatStoodAtItsName) {
    const InTheWay cases[] = {
        {"nothing", [](const fs::path&) {}, {{"out/sub/small", "0123456789"}}},
        {"an older file", [](const fs::path& out) { writeFile(out / "sub/big", "old"); },
         {{"out/sub/big", "old"}, {"out/sub/small", "0123456789"}}},
        {"a hard link to a file elsewhere",
         [](const fs::path& out) {
             writeFile(out / "../elsewhere", "linked");
             fs::create_hard_link(out / "../elsewhere", out / "sub/big");
         },
         {{"elsewhere", "linked"}, {"out/sub/big", "linked"}, {"out/sub/small", "0123456789"}}},
        {"a symbolic link",
         [](const fs::path& out) {
             writeFile(out / "../elsewhere", "pointed at");
             fs::create_symlink("../../elsewhere", out / "sub/big");
         },
         {{"elsewhere", "pointed at"}, {"out/sub/small", "0123456789"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL", "H\nH\n[sub/big]\n0\n4096\n[sub/small]\n0\n10\n");
        writeFile(dir / "MOLVARE.BCD", "0123456789" + std::string(4086, 'z'));
        fs::create_directories(dir / "out/sub");
        c.make(dir / "out");
        const auto before = listTree(dir / "out");
        const RunResult r = runProgram({dir.path(), {"extract", "-C", "out"}, BCL_BINARY, [] {
                                            const rlimit limit{1024, 1024};
                                            ::setrlimit(RLIMIT_FSIZE, &limit);
                                        }, {}});
        EXPECT_EQ(r.err, "bcl: sub/big: write error: File too large\n");
        EXPECT_EQ(r.exitCode, 1);
        FileSet after = readRegularFiles(dir.path());
        after.erase("MOLVARE.BCL");
        after.erase("MOLVARE.BCD");
        EXPECT_EQ(after, c.after);
        // Nothing half-made is left: only the small member is new, and no hidden file.
        auto expected = before;
        expected.insert("sub/small");
        EXPECT_EQ(listTree(dir / "out"), expected);
        if (c.what == "a symbolic link") {
            EXPECT_TRUE(fs::is_symlink(dir / "out/sub/big"));
        }
    }
}

// What a killed extraction left (hidden files under the extractor's prefix) goes with the next
// extraction that writes into the same directory; a hidden file whose writer is alive (it holds
// the file's lock) stays, and so does a user's file of another form.
TEST(BclExtract, TheNextExtractionTakesAwayWhatAKilledOneLeft) {
    const Made archive(FileSet{{"a", "A"}, {"sub/b", "B"}});
    const fs::path out = archive.dir / "out";
    fs::create_directories(out / "sub");
    writeFile(out / ".bcl-extract-deadbeef", "a killed run's");
    writeFile(out / "sub" / ".bcl-extract-0k1lled0", "another");
    writeFile(out / ".bcl-extract-notes.txt", "a user's");
    writeFile(out / ".bcl-extract-alive000", "a live writer's");
    const UniqueFd alive(::open((out / ".bcl-extract-alive000").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(alive);
    ASSERT_EQ(::flock(alive.get(), LOCK_EX), 0);
    // Only files older than a writer's first moments count as left over.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    const RunResult r = archive.run({"extract", "-C", out.string()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(listTree(out), (std::set<std::string>{".bcl-extract-alive000", ".bcl-extract-notes.txt", "a", "sub",
                                                    "sub/b"}));
}

TEST(BclExtract, ARunEndedBySignalLeavesEachNameOldOrWhole) {
    // Wherever the signal lands, a name holds its old file or the whole member. Ctrl-C and
    // kill leave nothing else; SIGKILL, which cannot be held, may leave a hidden new file.
    // Two archives: large members, to be cut in the middle of a copy, and many one-byte
    // members that replace files already there, to be cut between a new file's two steps
    // into place.
    const std::string big(16 << 20, 'm');
    const struct {
        std::string what;
        int members;
        std::int64_t length;
        std::vector<std::chrono::milliseconds> delays;
    } archives[] = {{"large members", 2, static_cast<std::int64_t>(big.size()), {5ms, 30ms}},
                    {"many replacements", 1000, 1, {15ms, 40ms, 80ms}}};
    const struct {
        int signal;
        const char* jobs;
    } signals[] = {{SIGINT, "1"}, {SIGTERM, "4"}, {SIGHUP, "2"}, {SIGQUIT, "4"}, {SIGKILL, "4"}};
    int signalled = 0;
    for (const auto& a : archives) {
        ScratchDir dir;
        std::string index = "H\nH\n";
        for (int i = 0; i < a.members; ++i) index += "[m" + std::to_string(i) + "]\n0\n" + std::to_string(a.length) + "\n";
        writeFile(dir / "MOLVARE.BCL", index);
        writeFile(dir / "MOLVARE.BCD", big);
        const std::string whole = big.substr(0, static_cast<std::size_t>(a.length));
        int run = 0;
        for (const auto& c : signals) {
            for (const auto delay : a.delays) {
                SCOPED_TRACE(a.what + ": " + ::strsignal(c.signal) + " with -j " + c.jobs + " after " +
                             std::to_string(delay.count()) + " ms");
                const fs::path out = dir / ("out" + std::to_string(run++));
                fs::create_directory(out);
                for (int i = 0; i < a.members; ++i) writeFile(out / ("m" + std::to_string(i)), "old");
                Background extraction(dir.path(), {"extract", "-j", c.jobs, "-C", out.string()});
                std::this_thread::sleep_for(delay);
                ::kill(extraction.pid(), c.signal);
                const int status = extraction.wait();
                if (WIFSIGNALED(status)) {
                    EXPECT_EQ(WTERMSIG(status), c.signal);
                    ++signalled;
                } else {
                    EXPECT_EQ(WEXITSTATUS(status), 0) << extraction.err();
                }
                int hidden = 0;
                for (const auto& item : fs::directory_iterator(out)) {
                    if (item.path().filename().string().starts_with(".bcl-extract-")) {
                        ++hidden;
                        continue;
                    }
                    const std::string now = readFile(item.path());
                    EXPECT_TRUE(now == "old" || now == whole) << item.path() << ": " << now.size() << " bytes";
                }
                if (c.signal != SIGKILL) {
                    EXPECT_EQ(hidden, 0);
                }
            }
        }
    }
    EXPECT_GT(signalled, 0) << "every run finished before its signal: nothing was tested";
}

TEST(BclExtract, EveryNameIsResolvedAfreshWhateverEarlierMembersMade) {
    // d is a link to e at first; the member d replaces it with a file, so d/y has nowhere to
    // go, and must not go where d used to lead.
    ScratchDir dir;
    fs::create_directories(dir / "out/e");
    fs::create_directory_symlink("e", dir / "out/d");
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[d/x]\n0\n5\n[d]\n5\n3\n[d/y]\n0\n5\n");
    writeFile(dir / "MOLVARE.BCD", "HELLOabc");
    const RunResult r = bcl(dir.path(), {"extract", "-j", "1", "-C", "out"});
    EXPECT_EQ(r.err, "bcl: d/y: cannot create directory d: Not a directory\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readRegularFiles(dir / "out"), (FileSet{{"d", "abc"}, {"e/x", "HELLO"}}));
}

TEST(BclExtract, ExtractShowsProgressOnATerminalAndClearsIt) {
    Made archive(FileSet{{"a", std::string(3 << 20, 'a')}, {"b", "bb"}});
    const fs::path out = archive.dir / "out";
    fs::create_directory(out);
    writeFile(archive.dir / "err", "");
    const int err = ::open((archive.dir / "err").c_str(), O_WRONLY);
    // In process, with no delay before the line appears, and an error to show it is cleared.
    writeFile(out / "b", "old");
    bcl::ExtractOptions options;
    options.directory = out.string();
    options.keepOldFiles = true;
    options.progressAfter = std::chrono::milliseconds(0);
    const int code =
        bcl::extractArchive({archive.index.string(), archive.data.string()}, options, {1, err, false, true});
    ::close(err);
    EXPECT_EQ(code, 0);
    // The rate depends on the machine; the rest of the line does not.
    EXPECT_TRUE(std::regex_match(readFile(archive.dir / "err"),
                                 std::regex("\r\x1b\\[Kbcl: 1 of 2 members, 3 of 3 MiB \\(99%\\), [0-9]+ MiB/s, 0:00 left"
                                            "\r\x1b\\[Kbcl: b: kept the existing file\n")))
        << readFile(archive.dir / "err");
    EXPECT_EQ(readFile(out / "a"), std::string(3 << 20, 'a'));
}

}  // namespace
}  // namespace unbcl::test
