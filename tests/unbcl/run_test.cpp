// SPDX-License-Identifier: MIT
// The run as a user sees it: the built binary in a scratch directory, its exact output and
// exit code.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "unbcl/console.hpp"
#include "test_support.hpp"

namespace unbcl::test {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

const std::string kWorkedIndex = "MEMBER LIST\n2 FILES\n[A.TXT]\n0\n5\n\n[B.TXT]\n5\n3\n";
const std::string kWorkedListing = "MEMBER LIST\n2 FILES\n" + recordLines("A.TXT", 0, 5) + recordLines("B.TXT", 5, 3);

TEST(Run, WorkedExampleListsExactlyAndExtracts) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", kWorkedIndex);
    writeFile(dir / "MOLVARE.BCD", "HELLOabc");
    const RunResult r = runUnbcl(dir.path());
    EXPECT_EQ(r.out, "listFname : MOLVARE.BCL\n" + kWorkedListing);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(dir / "A.TXT"), "HELLO");
    EXPECT_EQ(readFile(dir / "B.TXT"), "abc");
}

TEST(Run, ArgumentsChooseTheIndexAndDataFiles) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "H\nH\n[DEFAULT]\n0\n1\n");
    writeFile(dir / "MOLVARE.BCD", "d");
    writeFile(dir / "other.idx", "H\nH\n[OTHER]\n0\n1\n");
    writeFile(dir / "other.dat", "o");
    writeFile(dir / "-h", "H\nH\n[DASH]\n0\n1\n");

    struct {
        std::vector<std::string> args;
        std::string listedName;
        std::string member;
        std::string bytes;
    } const cases[] = {
        {{}, "MOLVARE.BCL", "DEFAULT", "d"},
        {{"other.idx"}, "other.idx", "OTHER", "d"},           // data name keeps its default
        {{"other.idx", "other.dat"}, "other.idx", "OTHER", "o"},
        {{"other.idx", "other.dat", "ignored", "too"}, "other.idx", "OTHER", "o"},
        {{"-h"}, "-h", "DASH", "d"},                          // no options: a file name like any other
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listedName + " " + std::to_string(c.args.size()));
        const RunResult r = runUnbcl(dir.path(), c.args);
        EXPECT_EQ(r.out, "listFname : " + c.listedName + "\nH\nH\n" + recordLines(c.member, 0, 1));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(readFile(dir / c.member), c.bytes);
        fs::remove(dir / c.member);
    }
}

TEST(Run, IndexThatCannotBeOpenedEndsWithCodeOne) {
    ScratchDir dir;
    fs::create_directory(dir / "adir");
    for (const std::string name : {"missing.bcl", "adir"}) {
        const RunResult r = runUnbcl(dir.path(), {name});
        EXPECT_EQ(r.out, "listFname : " + name + "\nCan't Open " + name + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 1);
    }
    EXPECT_EQ(listTree(dir.path()), (std::set<std::string>{"adir"}));
}

TEST(Run, DataFileThatCannotBeOpenedEndsWithCodeTwoAfterTheListing) {
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", kWorkedIndex);
    fs::create_directory(dir / "adir");
    for (const std::string name : {"MOLVARE.BCD", "adir"}) {
        const RunResult r = runUnbcl(dir.path(), {"MOLVARE.BCL", name});
        EXPECT_EQ(r.out, "listFname : MOLVARE.BCL\n" + kWorkedListing + "Can't Open " + name + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 2);
    }
    EXPECT_EQ(listTree(dir.path()), (std::set<std::string>{"MOLVARE.BCL", "adir"}));
}

TEST(Run, AFifoAsTheDataFileNeverHoldsTheRun) {
    // Nobody writes to the FIFO: a plain open would wait for ever. Its members cannot be read
    // at their offsets, which is reported for each, and the run ends.
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", kWorkedIndex);
    ASSERT_EQ(::mkfifo((dir / "MOLVARE.BCD").c_str(), 0644), 0);
    const RunResult r = runProgram({dir.path(), {}, UNBCL_BINARY, [] { ::alarm(20); }, {}});
    EXPECT_EQ(r.signal, 0) << "the run was held";
    EXPECT_EQ(r.out, "listFname : MOLVARE.BCL\n" + kWorkedListing);
    EXPECT_EQ(r.err, "unbcl: A.TXT: read error in the data file: Illegal seek\n"
                     "unbcl: B.TXT: read error in the data file: Illegal seek\n");
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Run, MalformedIndexIsReportedWithItsLineAndCodeFour) {
    struct {
        std::string index;
        std::string listing;
        std::string err;
    } const cases[] = {
        {"H\nH\n[A]\n0\n1\n[B]\n[C]\n", "H\nH\n" + recordLines("A", 0, 1),
         "unbcl: idx:7: reading stopped: number expected\n"},
        {"H\nH\n[A]\n0\n1\n[B]\n", "H\nH\n" + recordLines("A", 0, 1),
         "unbcl: idx:6: reading stopped: end of file inside a record\n"},
        {"H\nH\n[A]\n99999999999\n1\n", "H\nH\n", "unbcl: idx:4: reading stopped: number out of range\n"},
        {"H\nH\n" + std::string(99, 'x') + "\n[A]\n0\n1\n", "H\nH\n",
         "unbcl: idx:3: reading stopped: line longer than 98 characters\n"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        writeFile(dir / "idx", c.index);
        writeFile(dir / "data", "x");
        const RunResult r = runUnbcl(dir.path(), {"idx", "data"});
        EXPECT_EQ(r.out, "listFname : idx\n" + c.listing);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 4);
    }
}

TEST(Run, ShortIndexesAreNotReported) {
    for (const std::string index : {"", "ONLY ONE\n", "H\nH\n", "H\nH\ntrailing text"}) {
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL", index);
        writeFile(dir / "MOLVARE.BCD", "");
        const RunResult r = runUnbcl(dir.path());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(listTree(dir.path()), (std::set<std::string>{"MOLVARE.BCD", "MOLVARE.BCL"}));
    }
    ScratchDir dir;
    writeFile(dir / "MOLVARE.BCL", "");
    writeFile(dir / "MOLVARE.BCD", "");
    EXPECT_EQ(runUnbcl(dir.path()).out, "listFname : MOLVARE.BCL\n\n\n");
}

TEST(Run, ArchiveTextPassesUnchangedToAFileAndEscapedToDiagnostics) {
    ScratchDir dir;
    const std::string name = "evil\x1b]0;title\x07";
    writeFile(dir / "MOLVARE.BCL", "H\x1b[2J\nH\n[" + name + "]\n-1\n1\n");
    writeFile(dir / "MOLVARE.BCD", "x");
    const RunResult r = runUnbcl(dir.path());
    EXPECT_EQ(r.out, "listFname : MOLVARE.BCL\nH\x1b[2J\nH\n" + recordLines(name, -1, 1));
    EXPECT_EQ(r.err, "unbcl: evil\\x1b]0;title\\x07: negative offset -1: 1 of 1 bytes missing\n");
    EXPECT_EQ(r.exitCode, 4);
}

TEST(Run, ArchiveTextIsEscapedWhenStandardOutputIsATerminal) {
    ScratchDir dir;
    // The index's name too: a script may pass on a name it found in an archive.
    writeFile(dir / "I\x1b[31m.BCL", "H\x1b[2J\nH\n[A\x07]\n0\n1\n");
    writeFile(dir / "MOLVARE.BCD", "x");
    const RunResult r = runOnATerminal(dir.path(), {"I\x1b[31m.BCL"}, UNBCL_BINARY);
    EXPECT_EQ(r.out, "listFname : I\\x1b[31m.BCL\nH\\x1b[2J\nH\n" + recordLines("A\\x07", 0, 1));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(dir / "A\x07"), "x");
}

TEST(Run, OutOfMemoryEndsWithCodeThreeAfterWritingTheListing) {
#ifdef UNBCL_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#else
    ScratchDir dir;
    // Enough records that the entry list outgrows the address-space limit set below, even
    // packed as it is.
    std::string index = "H\nH\n";
    for (int i = 0; i < 600000; ++i) index += "[" + std::string(80, 'n') + std::to_string(i) + "]\n0\n0\n";
    writeFile(dir / "MOLVARE.BCL", index);
    const RunResult r = runProgram({dir.path(), {}, UNBCL_BINARY, [] {
                                        const rlimit limit{48L << 20, 48L << 20};
                                        ::setrlimit(RLIMIT_AS, &limit);
                                    }, (dir / "listing").string()});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "Abnormal program termination\n");
    const std::string listing = readFile(dir / "listing");
    EXPECT_TRUE(listing.starts_with("listFname : MOLVARE.BCL\nH\nH\nfname : "));
    EXPECT_TRUE(listing.ends_with("\nlength : 0\n"));  // every record out whole, nothing held back
    EXPECT_FALSE(fs::exists(dir / "MOLVARE.BCD"));
#endif
}

TEST(Console, EscapesWhatCouldDriveATerminalAndNothingElse) {
    struct {
        std::string text, shown;
    } const cases[] = {
        {"a\x1b[2Jb\x7f\t\n\x01 ~\\", "a\\x1b[2Jb\\x7f\\x09\\x0a\\x01 ~\\"},
        {"x\x9b" "2Jy", "x\\x9b2Jy"},                    // a lone 0x9B is CSI to an 8-bit terminal
        {"\x80\x85\x9f", "\\x80\\x85\\x9f"},             // every lone C1 byte
        {"\xc2\x9b" "2J", "\\xc2\\x9b2J"},              // U+009B written as UTF-8
        {"\xc2\x80", "\\xc2\\x80"},                     // U+0080
        {"abc\xe2\x80\xaegpj.exe", "abc\\xe2\\x80\\xaegpj.exe"},  // U+202E right-to-left override
        {"\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9", "\\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},  // U+202A, U+2066, U+2069
        {"caf\xc3\xa9 \xe2\x82\xac \xc3\x9b \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xc3\x9b \xf0\x9f\x98\x80"},  // UTF-8 text
        {"\xe2\x80\xa9\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x81\xaa"},  // neighbours of the ranges
        {"CP437 \xe9\xa0\xff", "CP437 \xe9\xa0\xff"},  // not UTF-8, but no control either
    };
    for (const auto& c : cases) EXPECT_EQ(escapeControlBytes(c.text), c.shown) << c.shown;
    std::string shown;
    Console(1, true).appendShown(shown, "x\x1by");
    EXPECT_EQ(shown, "x\\x1by");
    shown.clear();
    Console(1, false).appendShown(shown, "x\x1by");
    EXPECT_EQ(shown, "x\x1by");
}

TEST(Run, ClosedStandardDescriptorsNeverLeadIntoTheArchive) {
    // With 0-2 closed, the index and data file would be opened as 0 and 1 and the next file as
    // 2, standard error: the refusal below would then be written into the index itself.
    ScratchDir dir;
    const std::string index = "H\nH\n[MOLVARE.BCL]\n0\n1\n[OUT]\n0\n4\n";
    writeFile(dir / "MOLVARE.BCL", index);
    writeFile(dir / "MOLVARE.BCD", "data");
    const RunResult r = runProgram({dir.path(), {}, UNBCL_BINARY, [] {
                                        ::close(0);
                                        ::close(1);
                                        ::close(2);
                                    }, {}});
    EXPECT_EQ(readFile(dir / "MOLVARE.BCL"), index);
    EXPECT_EQ(readFile(dir / "MOLVARE.BCD"), "data");
    EXPECT_EQ(readFile(dir / "OUT"), "data");
    EXPECT_EQ(r.exitCode, 4);  // the refusal was reported, to /dev/null
}

TEST(Run, AListingIsNeverWrittenIntoTheArchive) {
    // "unbcl >> MOLVARE.BCD": standard output is the data file, opened for appending.
    ScratchDir dir;
    const std::string index = "H\nH\n[OUT]\n0\n4\n";
    writeFile(dir / "MOLVARE.BCL", index);
    writeFile(dir / "MOLVARE.BCD", "data");
    const std::string dataPath = (dir / "MOLVARE.BCD").string();
    const RunResult r = runProgram({dir.path(), {}, UNBCL_BINARY, [dataPath] {
                                        const int fd = ::open(dataPath.c_str(), O_WRONLY | O_APPEND);
                                        ::dup2(fd, 1);
                                        ::close(fd);
                                    }, {}});
    EXPECT_EQ(readFile(dir / "MOLVARE.BCD"), "data");
    EXPECT_EQ(readFile(dir / "MOLVARE.BCL"), index);
    EXPECT_EQ(readFile(dir / "OUT"), "data");
    EXPECT_EQ(r.err, "unbcl: standard output: refused: it is the data file; nothing is listed\n");
    EXPECT_EQ(r.exitCode, 4);
}

}  // namespace
}  // namespace unbcl::test
