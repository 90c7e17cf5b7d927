// SPDX-License-Identifier: MIT
// Repacking: archives made from trees and file lists, changed in place by update, append,
// delete and rename, against a plain model of what each operation means.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <sstream>

#include "bcl_support.hpp"
#include "open_gate.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The files an archive extracts to, as the model predicts them.
using Model = FileSet;

void expectSuccess(const RunResult& r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
}

// Extracts with bcl and with unbcl, and checks bcl test has nothing to say.
void expectArchiveHolds(const fs::path& dir, const std::string& archive, const Model& model) {
    const fs::path viaBcl = dir / "via-bcl";
    fs::remove_all(viaBcl);
    expectSuccess(bcl(dir, {"extract", archive, "-C", viaBcl.string()}));
    EXPECT_EQ(readRegularFiles(viaBcl), model);

    const fs::path viaUnbcl = dir / "via-unbcl";
    fs::remove_all(viaUnbcl);
    fs::create_directories(viaUnbcl);
    for (const auto& [name, bytes] : model) fs::create_directories((viaUnbcl / name).parent_path());
    std::string data = (dir / archive).string();
    data.back() = 'D';
    const RunResult u = runUnbcl(viaUnbcl, {(dir / archive).string(), data});
    EXPECT_EQ(u.err, "");
    EXPECT_EQ(u.exitCode, 0);
    EXPECT_EQ(readRegularFiles(viaUnbcl), model);

    const RunResult t = bcl(dir, {"test", archive});
    EXPECT_EQ(t.err, "");
    EXPECT_EQ(t.exitCode, 0);
}

class TreeMaker {
public:
    explicit TreeMaker(unsigned seed) : rng_(seed) {}

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    std::string name() {
        std::string n;
        for (int depth = pick(0, 2); depth > 0; --depth) n += "d" + std::to_string(pick(0, 3)) + "/";
        return n + "f" + std::to_string(pick(0, 99)) + (pick(0, 1) ? ".bin" : " x.txt");
    }

    // Sizes from empty to a few MiB, with every byte value.
    std::string bytes() {
        const int size = pick(0, 9) == 0 ? pick(0, 3 << 20) : pick(0, 700);
        std::string b(static_cast<std::size_t>(size), '\0');
        for (char& c : b) c = static_cast<char>(pick(0, 255));
        return b;
    }

private:
    std::mt19937 rng_;
};

// One operation, applied to the model and run through bcl against the files in src.
struct Step {
    std::string what;
    std::vector<std::string> args;  // after "bcl"
};

TEST(BclRepack, RandomOperationsMatchAPlainModel) {
    for (unsigned round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TreeMaker make(20261210 + round);
        ScratchDir dir;
        const fs::path src = dir / "src";
        Model model;
        for (int i = make.pick(1, 12); i > 0; --i) model[make.name()] = make.bytes();
        writeFiles(src, model);
        expectSuccess(bcl(dir.path(), {"create", "GAME.BCL", "-C", src.string(), "."}));
        expectArchiveHolds(dir.path(), "GAME.BCL", model);

        for (int step = 0; step < 12; ++step) {
            const int kind = make.pick(0, 3);
            if (kind == 0) {  // update: some existing names with new bytes, and new ones
                std::vector<std::string> names;
                for (int i = make.pick(1, 3); i > 0; --i) {
                    std::string name = !model.empty() && make.pick(0, 1) ? std::next(model.begin(), make.pick(0, static_cast<int>(model.size()) - 1))->first
                                                                        : make.name();
                    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
                    model[name] = make.bytes();
                    writeFiles(src, {{name, model[name]}});
                    names.push_back(name);
                }
                std::vector<std::string> args{"update", "GAME.BCL", "-C", src.string()};
                args.insert(args.end(), names.begin(), names.end());
                expectSuccess(bcl(dir.path(), args));
            } else if (kind == 1 && !model.empty()) {  // delete one member by its exact name
                const std::string name = std::next(model.begin(), make.pick(0, static_cast<int>(model.size()) - 1))->first;
                model.erase(name);
                expectSuccess(bcl(dir.path(), {"delete", "GAME.BCL", name}));
            } else if (kind == 2 && !model.empty()) {  // rename to a free name
                const std::string from = std::next(model.begin(), make.pick(0, static_cast<int>(model.size()) - 1))->first;
                const std::string to = make.name();
                if (model.contains(to)) continue;
                model[to] = model[from];
                model.erase(from);
                expectSuccess(bcl(dir.path(), {"rename", "GAME.BCL", from, to}));
            } else {  // append a new name
                const std::string name = make.name();
                if (model.contains(name)) continue;
                model[name] = make.bytes();
                writeFiles(src, {{name, model[name]}});
                expectSuccess(bcl(dir.path(), {"append", "GAME.BCL", "-C", src.string(), name}));
            }
            expectArchiveHolds(dir.path(), "GAME.BCL", model);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

TEST(BclRepack, OneTreeGivesOneArchiveWhateverOrderItWasMadeIn) {
    const Model files{{"b/z.txt", "zz"}, {"a.txt", "a"}, {"b/a.txt", "ba"}, {"c/d/e.bin", "cde"}, {"B.txt", "B"}};
    std::vector<std::string> order;
    for (const auto& [name, bytes] : files) order.push_back(name);
    std::string firstIndex, firstData;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ScratchDir dir;
        std::reverse(order.begin(), order.end());
        if (attempt == 2) std::rotate(order.begin(), order.begin() + 2, order.end());
        for (const std::string& name : order) writeFiles(dir / "tree", {{name, files.at(name)}});
        expectSuccess(bcl(dir.path(), {"create", "NEW.BCL", "-C", (dir / "tree").string(), "."}));
        if (attempt == 0) {
            firstIndex = readFile(dir / "NEW.BCL");
            firstData = readFile(dir / "NEW.BCD");
            // Byte order of names: upper case before lower, a directory's files where its name sorts.
            EXPECT_EQ(firstIndex, "BCL ARCHIVE\n5 FILES\n[B.txt]\n0\n1\n[a.txt]\n1\n1\n[b/a.txt]\n2\n2\n"
                                  "[b/z.txt]\n4\n2\n[c/d/e.bin]\n6\n3\n");
        } else {
            EXPECT_EQ(readFile(dir / "NEW.BCL"), firstIndex);
            EXPECT_EQ(readFile(dir / "NEW.BCD"), firstData);
        }
    }
}

TEST(BclRepack, OperandsAndFileListsNameMembersRelativeToTheDirectory) {
    ScratchDir dir;
    writeFiles(dir / "tree", {{"a.txt", "A"}, {"sub/b.txt", "B"}, {"sub/deeper/c.txt", "C"}, {"with\nnewline", "N"}});
    writeFile(dir / "list-lines", "./a.txt\nsub//deeper/c.txt\n\n");
    writeFile(dir / "list-nul", "a.txt\0with\nnewline\0sub/\0"s);
    struct {
        std::vector<std::string> args;  // after "create NEW.BCL -C tree"
        std::string stdinText;
        std::string names;  // the index's name lines
        std::string err;
    } const cases[] = {
        {{"./a.txt", "sub/"}, "", "[a.txt][sub/b.txt][sub/deeper/c.txt]", ""},
        {{"-T", "list-lines"}, "", "[a.txt][sub/deeper/c.txt]", ""},  // the list is found from here
        {{"sub/b.txt", "-T", "-"}, "a.txt\n", "[sub/b.txt][a.txt]", ""},
        {{"-T", "-", "--null"}, "sub/b.txt\0a.txt"s, "[sub/b.txt][a.txt]", ""},
        // A name with a line feed cannot stand on an index line, whichever way it was listed.
        {{"-T", "list-nul", "--null"}, "", "", "bcl: with\\x0anewline: refused: name holds a line feed\n"},
        {{"../outside"}, "", "", "bcl: ../outside: refused: name has a '..' component\n"},
        {{"-T", "missing"}, "", "", "bcl: missing: cannot read the file list: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        fs::remove(dir / "NEW.BCL");
        fs::remove(dir / "NEW.BCD");
        writeFile(dir / "stdin", c.stdinText);
        std::vector<std::string> args{"create", "NEW.BCL", "-C", "tree"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string stdinPath = (dir / "stdin").string();
        const RunResult r = runProgram({dir.path(), args, BCL_BINARY, [stdinPath] {
                                            const int in = ::open(stdinPath.c_str(), O_RDONLY);
                                            ::dup2(in, 0);
                                            ::close(in);
                                        }, {}});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 1);
        std::string names;
        if (fs::exists(dir / "NEW.BCL")) {
            std::istringstream lines(readFile(dir / "NEW.BCL"));
            for (std::string line; std::getline(lines, line);) {
                if (line.starts_with("[")) names += line;
            }
        }
        EXPECT_EQ(names, c.names);
    }
}

TEST(BclRepack, AlignedMembersStartAtMultiplesAndExtractTheSame) {
    const Model files{{"a", "x"}, {"b", std::string(5000, 'b')}, {"c", ""}, {"d", "dd"}};
    for (const std::int64_t align : {1, 512, 4096}) {
        SCOPED_TRACE(align);
        ScratchDir dir;
        writeFiles(dir / "tree", files);
        expectSuccess(bcl(dir.path(), {"create", "A.BCL", "--align", std::to_string(align), "-C", "tree", "a", "b", "c"}));
        expectSuccess(bcl(dir.path(), {"append", "A.BCL", "--align", std::to_string(align), "-C", "tree", "d"}));
        const RunResult json = bcl(dir.path(), {"list", "A.BCL", "--json"});
        for (std::size_t at = json.out.find("\"offset\": "); at != std::string::npos;
             at = json.out.find("\"offset\": ", at + 1)) {
            const long offset = std::stol(json.out.substr(at + 10));
            const bool empty = json.out.compare(json.out.find("\"length\": ", at) + 10, 2, "0}") == 0;
            if (!empty) {
                EXPECT_EQ(offset % align, 0) << json.out;
            }
        }
        expectArchiveHolds(dir.path(), "A.BCL", files);
    }
    ScratchDir dir;
    writeFile(dir / "a", "x");
    EXPECT_EQ(bcl(dir.path(), {"create", "A.BCL", "--align", "3", "a"}).exitCode, 2);
}

// Each way an archive is written, made to fail halfway: the archive before it stays byte for
// byte, and nothing else is left in its directory.
TEST(BclRepack, AnOperationThatFailsMidwayLeavesThePreviousArchive) {
    ScratchDir dir;
    const SmallFileSystem small(dir / "small", 2048);
    if (!small.mounted()) GTEST_SKIP() << "needs root to mount a small file system";
    const fs::path at = dir / "small";
    // Two members fill most of the disk, so that no second copy of them fits beside.
    writeFiles(dir / "src", {{"keep.bin", std::string(700 << 10, 'k')}, {"more.bin", std::string(700 << 10, 'm')},
                             {"big.bin", std::string(2 << 20, 'g')}, {"small.txt", "s"}});
    ASSERT_EQ(bcl(dir.path(), {"create", (at / "A.BCL").string(), "-C", "src", "keep.bin", "more.bin"}).exitCode, 0);
    const std::string index = readFile(at / "A.BCL");
    const std::string data = readFile(at / "A.BCD");
    const auto before = listTree(at);
    struct {
        std::vector<std::string> args;
        std::string errHas;
    } const cases[] = {
        {{"update", "-C", "src", "big.bin"}, "No space left on device"},
        {{"append", "-C", "src", "big.bin"}, "No space left on device"},
        {{"create", "-C", "src", "big.bin"}, "No space left on device"},
        // The compacted copy needs room beside the old file, which this disk lacks.
        {{"delete", "more.bin"}, "No space left on device"},
        {{"update", "-C", "src", "small.txt", "missing.txt"}, "missing.txt: cannot read: No such file or directory"},
        {{"rename", "keep.bin", "more.bin"}, "more.bin: refused: already in the archive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        std::vector<std::string> args{c.args.front(), (at / "A.BCL").string()};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        const RunResult r = bcl(dir.path(), args);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
        EXPECT_TRUE(readFile(at / "A.BCL") == index);
        EXPECT_TRUE(readFile(at / "A.BCD") == data) << fs::file_size(at / "A.BCD");
        EXPECT_EQ(listTree(at), before);
    }
}

TEST(BclRepack, AppendRefusesNamesAlreadyPresentAndRenameOnlyTouchesTheIndex) {
    ScratchDir dir;
    writeFiles(dir / "src", {{"a", "A"}, {"b", "B"}});
    expectSuccess(bcl(dir.path(), {"create", "G.BCL", "-C", "src", "a"}));
    RunResult r = bcl(dir.path(), {"append", "G.BCL", "-C", "src", "a"});
    EXPECT_EQ(r.err, "bcl: a: refused: named twice (--allow-duplicates keeps both)\n");
    EXPECT_EQ(r.exitCode, 1);
    // Refusals come in the order the files were given, whether the archive or the command
    // line had the name first.
    r = bcl(dir.path(), {"append", "G.BCL", "-C", "src", "b", "a", "b"});
    EXPECT_EQ(r.err,
              "bcl: a: refused: named twice (--allow-duplicates keeps both)\n"
              "bcl: b: refused: named twice (--allow-duplicates keeps both)\n");
    EXPECT_EQ(r.exitCode, 1);
    expectSuccess(bcl(dir.path(), {"append", "G.BCL", "-C", "src", "--allow-duplicates", "a", "b"}));
    EXPECT_EQ(readFile(dir / "G.BCD"), "AAB");

    struct stat before {};
    ASSERT_EQ(::stat((dir / "G.BCD").c_str(), &before), 0);
    expectSuccess(bcl(dir.path(), {"rename", "G.BCL", "b", "sub/renamed"}));
    struct stat after {};
    ASSERT_EQ(::stat((dir / "G.BCD").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the same data file, not a copy
    EXPECT_EQ(readFile(dir / "G.BCL"), "BCL ARCHIVE\n3 FILES\n[a]\n0\n1\n[a]\n1\n1\n[sub/renamed]\n2\n1\n");
    r = bcl(dir.path(), {"rename", "G.BCL", "nope", "x"});
    EXPECT_EQ(r.err, "bcl: nope: not found in the archive\n");
    EXPECT_EQ(r.exitCode, 1);
}

TEST(BclRepack, AFifoAsTheDataFileIsOneFailureForEveryWriter) {
    // Opening a FIFO for writing waits for a reader: no writer may open it, and all say so alike.
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"create", "G.BCL", "-C", "src", "a"}, "bcl: G.BCD: cannot replace: not a regular file (a FIFO)\n"},
        {{"update", "G.BCL", "-C", "src", "a"}, "bcl: G.BCD: cannot replace: not a regular file (a FIFO)\n"},
        {{"append", "G.BCL", "-C", "src", "b"}, "bcl: G.BCD: cannot write: not a regular file (a FIFO)\n"},
        {{"delete", "G.BCL", "a"}, "bcl: G.BCD: cannot replace: not a regular file (a FIFO)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        ScratchDir dir;
        writeFiles(dir / "src", {{"a", "A"}, {"b", "B"}});
        expectSuccess(bcl(dir.path(), {"create", "G.BCL", "-C", "src", "a"}));
        fs::remove(dir / "G.BCD");
        ASSERT_EQ(::mkfifo((dir / "G.BCD").c_str(), 0644), 0);
        const RunResult r = bcl(dir.path(), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(readFile(dir / "G.BCL"), "BCL ARCHIVE\n1 FILES\n[a]\n0\n1\n");
        EXPECT_TRUE(fs::is_fifo(dir / "G.BCD"));
    }
}

TEST(BclRepack, AnAppendEndedBySignalGivesTheDataFileBack) {
    // The run is held at the open of its second input, after the first one's bytes went in
    // place; the signal comes there, and the run must take those bytes back before it ends.
    // A signal it was started with ignored, as under nohup, must change nothing.
    const struct {
        int signal;
        bool ignored;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}, {SIGINT, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(::strsignal(c.signal)) + (c.ignored ? ", ignored" : ""));
        ScratchDir dir;
        writeFiles(dir / "src", {{"a", "A"}, {"b", "first new member"}, {"held", "second new member"}});
        expectSuccess(bcl(dir.path(), {"create", "G.BCL", "-C", "src", "a"}));
        const std::string index = readFile(dir / "G.BCL");
        const auto before = listTree(dir.path());
        OpenGate gate(dir / "src/held");
        Background run(dir.path(), {"append", "G.BCL", "-C", "src", "b", "held"},
                       c.ignored ? std::vector<int>{c.signal} : std::vector<int>{});
        ASSERT_EQ(gate.waitForOpen(), run.pid());
        ASSERT_EQ(::kill(run.pid(), c.signal), 0);
        gate.release();
        const int status = run.wait();
        EXPECT_EQ(run.err(), "");
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(readFile(dir / "G.BCD"), "Afirst new membersecond new member");
            continue;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal);
        EXPECT_EQ(readFile(dir / "G.BCD"), "A");
        EXPECT_EQ(readFile(dir / "G.BCL"), index);
        EXPECT_EQ(listTree(dir.path()), before);
    }
}

TEST(BclRepack, ABrokenMemberStopsEveryRewriteButTheOneThatRemovesOrReplacesIt) {
    // "broken" runs past the end of the data file: copying it would shorten it silently, and
    // bytes appended after it would become its own.
    const std::string index = "H\nH\n[a]\n0\n2\n[broken]\n2\n10\n[c]\n2\n1\n";
    const std::string refusal =
        "bcl: broken: refused to rewrite: member runs past the end of the data file: 9 of 10 bytes missing "
        "(deleting or updating it repairs the archive)\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
        Model after;  // empty: the archive must be unchanged
    } cases[] = {
        {{"delete", "G.BCL", "c"}, refusal, {}},
        {{"append", "G.BCL", "-C", "src", "new"}, refusal, {}},
        {{"update", "G.BCL", "-C", "src", "new"}, refusal, {}},
        {{"delete", "G.BCL", "broken"}, "", {{"a", "AA"}, {"c", "C"}}},
        {{"update", "G.BCL", "-C", "src", "broken"}, "", {{"a", "AA"}, {"broken", "fixed"}, {"c", "C"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        ScratchDir dir;
        writeFiles(dir / "src", {{"new", "N"}, {"broken", "fixed"}});
        writeFile(dir / "G.BCL", index);
        writeFile(dir / "G.BCD", "AAC");
        const RunResult r = bcl(dir.path(), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 1);
        if (c.after.empty()) {
            EXPECT_EQ(readFile(dir / "G.BCL"), index);
            EXPECT_EQ(readFile(dir / "G.BCD"), "AAC");
        } else {
            expectArchiveHolds(dir.path(), "G.BCL", c.after);
        }
    }
}

TEST(BclRepack, MembersThatShareBytesStillShareThemAfterARewrite) {
    // a and c are the same bytes, b lies inside them; byte 6 is referenced by nobody, and the
    // empty z points at it.
    const std::string index = "H\nH\n[a]\n0\n4\n[b]\n2\n2\n[c]\n0\n4\n[d]\n4\n2\n[e]\n7\n1\n[z]\n6\n0\n";
    const struct {
        std::vector<std::string> args;
        std::string index;
        std::string data;
        Model files;
    } cases[] = {
        {{"delete", "G.BCL", "d"}, "H\nH\n[a]\n0\n4\n[b]\n2\n2\n[c]\n0\n4\n[e]\n4\n1\n[z]\n5\n0\n", "ABCDG",
         {{"a", "ABCD"}, {"b", "CD"}, {"c", "ABCD"}, {"e", "G"}, {"z", ""}}},
        {{"update", "G.BCL", "-C", "src", "e"},
         "H\nH\n[a]\n0\n4\n[b]\n2\n2\n[c]\n0\n4\n[d]\n4\n2\n[e]\n6\n3\n[z]\n9\n0\n", "ABCDEFNEW",
         {{"a", "ABCD"}, {"b", "CD"}, {"c", "ABCD"}, {"d", "EF"}, {"e", "NEW"}, {"z", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        ScratchDir dir;
        writeFiles(dir / "src", {{"e", "NEW"}});
        writeFile(dir / "G.BCL", index);
        writeFile(dir / "G.BCD", "ABCDEFxG");
        expectSuccess(bcl(dir.path(), c.args));
        EXPECT_EQ(readFile(dir / "G.BCL"), c.index);
        EXPECT_EQ(readFile(dir / "G.BCD"), c.data);
        expectSuccess(bcl(dir.path(), {"extract", "G.BCL", "-C", "out"}));
        EXPECT_EQ(readRegularFiles(dir / "out"), c.files);
        // Shared bytes are legitimate: bcl test notes them and passes.
        const RunResult test = bcl(dir.path(), {"test", "G.BCL"});
        EXPECT_EQ(test.err, "bcl: c: note: overlaps a\nbcl: b: note: overlaps a\n");
        EXPECT_EQ(test.exitCode, 0);
    }
}

// An append adds its bytes after the data file's end and nothing more: an empty member whose
// offset lies past the end does not stretch the file.
TEST(BclRepack, AppendAddsOnlyItsOwnBytesWhateverOffsetsEmptyMembersName) {
    ScratchDir dir;
    writeFiles(dir / "src", {{"x", "1\n"}});
    writeFile(dir / "G.BCL", "BCL ARCHIVE\n2 FILES\n[a]\n0\n2\n[e]\n2147483647\n0\n");
    writeFile(dir / "G.BCD", "hi");
    expectSuccess(bcl(dir.path(), {"append", "G.BCL", "-C", "src", "x"}));
    EXPECT_EQ(readFile(dir / "G.BCD"), "hi1\n");
    EXPECT_EQ(readFile(dir / "G.BCL"), "BCL ARCHIVE\n3 FILES\n[a]\n0\n2\n[e]\n2147483647\n0\n[x]\n2\n2\n");
}

// A DOS index keeps its form through every rewrite: CR LF line ends and the end-of-file mark
// (a game that reads its pack line by line may want both).
TEST(BclRepack, ARewriteKeepsTheIndexsLineEndsAndEndOfFileMark) {
    const std::string dos = "GAME PACK\r\n2 FILES\r\n[A]\r\n0\r\n1\r\n[B]\r\n1\r\n2\r\n\x1a";
    const struct {
        std::vector<std::string> args;
        std::string index;
    } cases[] = {
        {{"delete", "G.BCL", "B"}, "GAME PACK\r\n1 FILES\r\n[A]\r\n0\r\n1\r\n\x1a"},
        {{"rename", "G.BCL", "B", "C"}, "GAME PACK\r\n2 FILES\r\n[A]\r\n0\r\n1\r\n[C]\r\n1\r\n2\r\n\x1a"},
        {{"update", "G.BCL", "-C", "src", "A"}, "GAME PACK\r\n2 FILES\r\n[A]\r\n0\r\n3\r\n[B]\r\n3\r\n2\r\n\x1a"},
        {{"append", "G.BCL", "-C", "src", "N"},
         "GAME PACK\r\n3 FILES\r\n[A]\r\n0\r\n1\r\n[B]\r\n1\r\n2\r\n[N]\r\n3\r\n1\r\n\x1a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        ScratchDir dir;
        writeFiles(dir / "src", {{"A", "new"}, {"N", "n"}});
        writeFile(dir / "G.BCL", dos);
        writeFile(dir / "G.BCD", "abc");
        expectSuccess(bcl(dir.path(), c.args));
        EXPECT_EQ(readFile(dir / "G.BCL"), c.index);
    }
    // create writes one when asked, and an index of LF lines stays one.
    ScratchDir dir;
    writeFiles(dir / "src", {{"A", "a"}});
    expectSuccess(bcl(dir.path(), {"create", "--crlf", "D.BCL", "-C", "src", "A"}));
    EXPECT_EQ(readFile(dir / "D.BCL"), "BCL ARCHIVE\r\n1 FILES\r\n[A]\r\n0\r\n1\r\n");
    expectSuccess(bcl(dir.path(), {"create", "U.BCL", "-C", "src", "A"}));
    expectSuccess(bcl(dir.path(), {"rename", "U.BCL", "A", "B"}));
    EXPECT_EQ(readFile(dir / "U.BCL"), "BCL ARCHIVE\n1 FILES\n[B]\n0\n1\n");
}

// The modding loop on a case-blind system: a member extracted as config.ini and edited comes
// back under the archive's own spelling, or is refused; two spellings only when asked for.
TEST(BclRepack, ANameThatDiffersOnlyByCaseReplacesWithIOrIsRefused) {
    const std::string index = "BCL ARCHIVE\n2 FILES\n[CONFIG.INI]\n0\n3\n[B]\n3\n1\n";
    const std::string twinHint = " in the archive (-I replaces that member; --allow-case-twins adds this one beside it)";
    const struct {
        std::vector<std::string> args;
        std::string err;
        int exitCode;
        std::string index;
        std::string data;
    } cases[] = {
        {{"update", "G.BCL", "-C", "src", "config.ini"},
         "bcl: config.ini: refused: differs only by case from CONFIG.INI" + twinHint + "\n", 1, index, "oldb"},
        {{"update", "-I", "G.BCL", "-C", "src", "config.ini"}, "", 0,
         "BCL ARCHIVE\n2 FILES\n[CONFIG.INI]\n0\n6\n[B]\n6\n1\n", "editedb"},
        {{"update", "--allow-case-twins", "G.BCL", "-C", "src", "config.ini"}, "", 0,
         "BCL ARCHIVE\n3 FILES\n[CONFIG.INI]\n0\n3\n[B]\n3\n1\n[config.ini]\n4\n6\n", "oldbedited"},
        {{"append", "G.BCL", "-C", "src", "config.ini"},
         "bcl: config.ini: refused: differs only by case from CONFIG.INI in the archive (--allow-case-twins adds it "
         "anyway)\n",
         1, index, "oldb"},
        {{"append", "--allow-case-twins", "G.BCL", "-C", "src", "config.ini"}, "", 0,
         "BCL ARCHIVE\n3 FILES\n[CONFIG.INI]\n0\n3\n[B]\n3\n1\n[config.ini]\n4\n6\n", "oldbedited"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ScratchDir dir;
        writeFiles(dir / "src", {{"config.ini", "edited"}});
        writeFile(dir / "G.BCL", index);
        writeFile(dir / "G.BCD", "oldb");
        const RunResult r = bcl(dir.path(), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(readFile(dir / "G.BCL"), c.index);
        EXPECT_EQ(readFile(dir / "G.BCD"), c.data);
    }
}

// An archive that already holds two spellings: each is replaced by its exact name alone, -I
// or not, and -I refuses a third spelling rather than guess. New files that are twins of each
// other are refused too; names in a double-byte code page are compared as read, not as bytes.
TEST(BclRepack, CaseTwinsAreJudgedByExactNamesFirstAndAsRead) {
    // CP932: 0x83 0x41 and 0x83 0x61 are two characters whose second bytes are 'A' and 'a'.
    const std::string katakanaA = "\xe3\x82\xa2";  // U+30A2, 0x83 0x41
    const std::string katakanaDi = "\xe3\x83\x82";  // U+30C2, 0x83 0x61
    const std::string twins = "H\nH\n[A.TXT]\n0\n1\n[a.txt]\n1\n1\n[\x83\x41.txt]\n2\n0\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
        int exitCode;
        std::string index;
    } cases[] = {
        {{"update", "-I", "G.BCL", "-C", "src", "a.txt"}, "", 0,
         "H\nH\n[A.TXT]\n0\n1\n[a.txt]\n1\n3\n[\x83\x41.txt]\n4\n0\n"},
        {{"update", "G.BCL", "-C", "src", "a.txt"}, "", 0,
         "H\nH\n[A.TXT]\n0\n1\n[a.txt]\n1\n3\n[\x83\x41.txt]\n4\n0\n"},
        {{"append", "--allow-duplicates", "G.BCL", "-C", "src", "a.txt"}, "", 0, twins + "[a.txt]\n2\n3\n"},
        {{"update", "-I", "G.BCL", "-C", "src", "A.txt"},
         "bcl: A.txt: refused: differs only by case from several members (A.TXT, a.txt); -I cannot tell which to "
         "replace\n",
         1, twins},
        {{"append", "G.BCL", "-C", "src", "n.txt", "N.TXT"},
         "bcl: N.TXT: refused: differs only by case from n.txt, also given (--allow-case-twins adds it anyway)\n", 1,
         twins},
        {{"append", "--charset", "CP932", "G.BCL", "-C", "src", katakanaDi + ".txt"}, "", 0,
         twins + "[\x83\x61.txt]\n2\n1\n"},
        {{"update", "-I", "--charset", "CP932", "G.BCL", "-C", "src", katakanaDi + ".txt"}, "", 0,
         "H\nH\n[A.TXT]\n0\n1\n[a.txt]\n1\n1\n[\x83\x41.txt]\n2\n0\n[\x83\x61.txt]\n2\n1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ScratchDir dir;
        writeFiles(dir / "src", {{"a.txt", "new"}, {"A.txt", "new"}, {"n.txt", "n"}, {"N.TXT", "N"},
                                 {katakanaA + ".txt", "a"}, {katakanaDi + ".txt", "d"}});
        writeFile(dir / "G.BCL", twins);
        writeFile(dir / "G.BCD", "12");
        const RunResult r = bcl(dir.path(), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(readFile(dir / "G.BCL"), c.index);
    }
}

// Writers that change one archive at once take turns, each reading the archive the one before
// left: no change is lost, whichever command makes it.
TEST(BclRepack, ConcurrentChangesAreAllKept) {
    ScratchDir dir;
    Model model{{"base", "b"}};
    for (int i = 0; i < 6; ++i) model["f" + std::to_string(i)] = std::string(4 << 20, static_cast<char>('a' + i));
    writeFiles(dir / "src", model);
    expectSuccess(bcl(dir.path(), {"create", "G.BCL", "-C", "src", "base"}));
    // Three appends and three updates, all started before any ends.
    std::string script;
    for (int i = 0; i < 6; ++i) {
        script += "'" + std::string(BCL_BINARY) + "' " + (i % 2 ? "update" : "append") + " G.BCL -C src f" +
                  std::to_string(i) + " & ";
    }
    script += "wait";
    const RunResult r = runProgram({dir.path(), {"-c", script}, "/bin/sh", {}, {}});
    EXPECT_EQ(r.err, "");
    expectArchiveHolds(dir.path(), "G.BCL", model);
}

}  // namespace
}  // namespace unbcl::test
