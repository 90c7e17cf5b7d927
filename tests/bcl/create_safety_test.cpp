// SPDX-License-Identifier: MIT
// bcl create when its surroundings misbehave: targets that are one file or cannot be replaced,
// other writers, signals, inputs that change, few descriptors, special files, huge inputs,
// permissions and symbolic links. Each test runs the real program, often in the background.
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "bcl_support.hpp"
#include "commands.hpp"
#include "open_gate.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A scratch directory with inputs and a previous archive in it, OLD.BCL and OLD.BCD.
struct Workspace {
    ScratchDir dir;
    Workspace() {
        writeFile(dir / "a", "first");
        writeFile(dir / "OLD.BCL", "previous index");
        writeFile(dir / "OLD.BCD", "previous data");
    }
    void expectPreviousArchive() const {
        // Compared without printing: a failure would otherwise show megabytes of data.
        EXPECT_TRUE(readFile(dir / "OLD.BCL") == "previous index") << fs::file_size(dir / "OLD.BCL") << " bytes";
        EXPECT_TRUE(readFile(dir / "OLD.BCD") == "previous data") << fs::file_size(dir / "OLD.BCD") << " bytes";
    }
    // An input that holds whoever opens it, which bcl does while the new archive is being
    // written: the run waits there until the gate is released.
    std::unique_ptr<OpenGate> addHeldInput(const std::string& name) const {
        writeFile(dir / name, "held input");
        return std::make_unique<OpenGate>(dir / name);
    }
};

const std::vector<std::string> kOldArchive{"-i", "OLD.BCL", "-d", "OLD.BCD"};

std::vector<std::string> createArgs(std::vector<std::string> targets, const std::vector<std::string>& files) {
    targets.push_back("create");
    targets.insert(targets.end(), files.begin(), files.end());
    return targets;
}

TEST(BclCreateSafety, TwoSpellingsOfOneFileAreRefused) {
    struct {
        std::string index;
        std::string data;
    } const cases[] = {
        {"X", "./X"},             // neither exists yet
        {"X", "sub/../X"},        // through a directory and back
        {"X", "here/X"},          // here is a link to .
        {"LINK", "X"},            // LINK points at X, which does not exist yet
        {"OLD.BCL", "OLD.BCL"},   // the same spelling, an existing file
        {"here/OLD.BCD", "OLD.BCD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index + " and " + c.data);
        Workspace w;
        fs::create_directory(w.dir / "sub");
        fs::create_directory_symlink(".", w.dir / "here");
        fs::create_symlink("X", w.dir / "LINK");
        const auto before = listTree(w.dir.path());
        const RunResult r = bcl(w.dir.path(), createArgs({"-i", c.index, "-d", c.data}, {"a"}));
        EXPECT_EQ(r.err, "bcl: " + c.data + ": refused: the same file as the index, " + c.index + "\n");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(listTree(w.dir.path()), before);
        w.expectPreviousArchive();
    }
}

// Sets or clears a file's immutable flag; false where the file system has none.
bool setImmutable(const fs::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

TEST(BclCreateSafety, AnIndexThatCannotBeReplacedLeavesThePreviousArchiveWhole) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: an immutable file, and a run as another user";
    enum class Obstacle { Directory, StickyDirectory, Immutable };
    struct {
        Obstacle obstacle;
        std::string index;
        std::string err;
    } const cases[] = {
        {Obstacle::Directory, "OLD.BCL", "bcl: OLD.BCL: cannot replace: Is a directory\n"},
        {Obstacle::StickyDirectory, "sticky/OLD.BCL",
         "bcl: sticky/OLD.BCL: cannot replace: Operation not permitted (another user's file in a sticky "
         "directory)\n"},
        // Nothing tells beforehand that this rename fails: the data file has been replaced by
        // then and must be put back.
        {Obstacle::Immutable, "OLD.BCL", "bcl: OLD.BCL: cannot replace: Operation not permitted\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        Workspace w;
        const fs::path index = w.dir / c.index;
        RunOptions run{w.dir.path(), createArgs({"-i", c.index, "-d", "OLD.BCD"}, {"a"}), BCL_BINARY, {}, {}};
        std::optional<fs::path> binary;
        if (c.obstacle == Obstacle::Directory) {
            fs::remove(index);
            fs::create_directory(index);
        } else if (c.obstacle == Obstacle::StickyDirectory) {
            // Root's index in a sticky directory anyone may write to; the run is nobody's,
            // from a copy of bcl that nobody can reach, and the data file is nobody's to replace.
            fs::create_directory(w.dir / "sticky");
            writeFile(index, "previous index");
            fs::permissions(w.dir / "sticky", fs::perms::all | fs::perms::sticky_bit);
            fs::permissions(w.dir.path(), fs::perms::all);
            fs::permissions(w.dir / "a", fs::perms::all);
            binary = w.dir / "bcl";
            fs::copy_file(BCL_BINARY, *binary);
            run.program = binary->string();
            run.beforeExec = dropRootPrivileges;
        } else if (!setImmutable(index, true)) {
            GTEST_SKIP() << "the temporary directory's file system has no immutable flag";
        }
        const auto before = listTree(w.dir.path());
        const RunResult r = runProgram(run);
        if (c.obstacle == Obstacle::Immutable) setImmutable(index, false);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(listTree(w.dir.path()), before);
        EXPECT_EQ(readFile(w.dir / "OLD.BCD"), "previous data");
        if (c.obstacle != Obstacle::Directory) {
            EXPECT_EQ(readFile(index), "previous index");
        }
    }
}

TEST(BclCreateSafety, ASecondCreateOfTheSameArchiveWaitsForTheFirst) {
    Workspace w;
    writeFile(w.dir / "b", "second run");
    const auto gate = w.addHeldInput("held");
    Background first(w.dir.path(), createArgs(kOldArchive, {"a", "held"}));
    ASSERT_EQ(gate->waitForOpen(), first.pid());

    // Spelled differently, through a link to the directory: it is still the same archive.
    fs::create_directory_symlink(".", w.dir / "here");
    Background second(w.dir.path(), createArgs({"-i", "here/OLD.BCL", "-d", "OLD.BCD"}, {"b"}));
    while (!second.hasExited() && !waitsForFlock(second.pid())) std::this_thread::sleep_for(100us);
    EXPECT_FALSE(second.hasExited()) << "the second create ran while the first was writing";
    w.expectPreviousArchive();

    gate->release();
    EXPECT_EQ(first.exitCode(), 0) << first.err();
    EXPECT_EQ(second.exitCode(), 0) << second.err();
    // The second ran last, whole: its index and its data, not one of each.
    EXPECT_EQ(readFile(w.dir / "OLD.BCL"), "BCL ARCHIVE\n1 FILES\n[b]\n0\n10\n");
    EXPECT_TRUE(readFile(w.dir / "OLD.BCD") == "second run") << fs::file_size(w.dir / "OLD.BCD") << " bytes";
}

TEST(BclCreateSafety, ACreateEndedBySignalLeavesNothingBehind) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(::strsignal(signal));
        Workspace w;
        const auto gate = w.addHeldInput("held");
        const auto before = listTree(w.dir.path());
        Background run(w.dir.path(), createArgs(kOldArchive, {"a", "held"}));
        ASSERT_EQ(gate->waitForOpen(), run.pid());
        ::kill(run.pid(), signal);
        const int status = run.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
        EXPECT_EQ(listTree(w.dir.path()), before);
        w.expectPreviousArchive();
    }
}

TEST(BclCreateSafety, ASignalThatComesBeforeTheFilesAreInPlaceKeepsThePreviousArchive) {
    // In this process, with SIGINT blocked and pending before the run starts: the run gets as
    // far as putting its files in place, and must not. (A real process would then end by the
    // signal; here it stays pending and is taken back below.)
    Workspace w;
    const auto before = listTree(w.dir.path());
    sigset_t interrupt;
    ::sigemptyset(&interrupt);
    ::sigaddset(&interrupt, SIGINT);
    sigset_t previous;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &interrupt, &previous), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    writeFile(w.dir / "err", "");
    const UniqueFd err(::open((w.dir / "err").c_str(), O_WRONLY | O_CLOEXEC));
    bcl::CreateOptions options;
    options.add.inputs.directory = w.dir.path().string();
    options.add.inputs.operands = {"a"};
    const int exitCode = bcl::createArchive({(w.dir / "OLD.BCL").string(), (w.dir / "OLD.BCD").string()}, options,
                                            {err.get(), err.get(), false, false});
    const timespec noWait{};
    EXPECT_EQ(::sigtimedwait(&interrupt, nullptr, &noWait), SIGINT);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(readFile(w.dir / "err"), "bcl: " + (w.dir / "OLD.BCD").string() + ": interrupted: nothing was changed\n");
    fs::remove(w.dir / "err");
    EXPECT_EQ(listTree(w.dir.path()), before);
    w.expectPreviousArchive();
}

TEST(BclCreateSafety, FilesThatOnlyLookLikeLeftoversAreKept) {
    Workspace w;
    writeFile(w.dir / ".bcl-replace-notes.txt", "my notes");
    writeFile(w.dir / ".bcl-replace-abcdefgh.old", "mine too");
    const RunResult r = bcl(w.dir.path(), createArgs(kOldArchive, {"a", ".bcl-replace-notes.txt"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(w.dir / ".bcl-replace-notes.txt"), "my notes");
    EXPECT_EQ(readFile(w.dir / ".bcl-replace-abcdefgh.old"), "mine too");
}

TEST(BclCreateSafety, ALeftoverOfADeadWriterIsRemovedByTheNextCreate) {
    // What a writer killed in the instant between naming a file and renaming it leaves.
    Workspace w;
    writeFile(w.dir / ".bcl-replace-k1lled00", "an old archive's bytes");
    EXPECT_EQ(bcl(w.dir.path(), createArgs(kOldArchive, {"a"})).exitCode, 0);
    EXPECT_FALSE(fs::exists(w.dir / ".bcl-replace-k1lled00"));
}

TEST(BclCreateSafety, AnInputThatChangesWhileCopiedFailsTheRun) {
    struct {
        std::string what;
        std::function<void(const fs::path&)> change;
        std::string err;
    } const cases[] = {
        {"grows", [](const fs::path& p) { std::ofstream(p, std::ios::app) << " and more"; },
         "bcl: late: changed while the archive was written: it grew past 5 bytes\n"},
        {"shrinks", [](const fs::path& p) { fs::resize_file(p, 2); },
         "bcl: late: changed while the archive was written: it shrank below 5 bytes\n"},
        {"is replaced", [](const fs::path& p) { writeFile(p.string() + ".new", "other"); fs::rename(p.string() + ".new", p); },
         "bcl: late: changed while the archive was written: another file has its name now\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Workspace w;
        writeFile(w.dir / "late", "short");
        const auto gate = w.addHeldInput("held");
        const auto before = listTree(w.dir.path());
        Background run(w.dir.path(), createArgs(kOldArchive, {"held", "late"}));
        ASSERT_EQ(gate->waitForOpen(), run.pid());
        c.change(w.dir / "late");
        gate->release();
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_EQ(run.err(), c.err);
        EXPECT_EQ(listTree(w.dir.path()), before);
        w.expectPreviousArchive();
    }
}

TEST(BclCreateSafety, ShortOfDescriptorsTheRealCauseIsReported) {
#ifdef UNBCL_SANITIZED
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#else
    bool someLimitFailed = false;
    for (rlim_t limit = 4; limit <= 8; ++limit) {
        SCOPED_TRACE("at most " + std::to_string(limit) + " descriptors");
        Workspace w;
        writeFile(w.dir / "b", "second");
        const auto before = listTree(w.dir.path());
        const RunResult r = runProgram({w.dir.path(), createArgs(kOldArchive, {"a", "b"}), BCL_BINARY, [limit] {
                                            ::close_range(3, ~0U, 0);
                                            const rlimit l{limit, limit};
                                            ::setrlimit(RLIMIT_NOFILE, &l);
                                        }, {}});
        if (r.exitCode == 0) {
            EXPECT_EQ(readFile(w.dir / "OLD.BCD"), "firstsecond");
            continue;
        }
        someLimitFailed = true;
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err, "");
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(line.ends_with(": Too many open files")) << line;
        }
        EXPECT_EQ(listTree(w.dir.path()), before);
        w.expectPreviousArchive();
    }
    EXPECT_TRUE(someLimitFailed) << "no limit was low enough to matter";
#endif
}

TEST(BclCreateSafety, FifosAndDevicesAreRefusedWithoutWaiting) {
    Workspace w;
    ASSERT_EQ(::mkfifo((w.dir / "fifo").c_str(), 0644), 0);
    fs::create_symlink("/dev/null", w.dir / "null");
    fs::create_symlink("fifo", w.dir / "to-fifo");
    const auto before = listTree(w.dir.path());
    // A run that waits on the FIFO ends by the alarm instead of hanging the test.
    const RunResult r = runProgram({w.dir.path(), createArgs(kOldArchive, {"fifo", "null", "to-fifo", "a"}),
                                    BCL_BINARY, [] { ::alarm(10); }, {}});
    EXPECT_EQ(r.err, "bcl: fifo: refused: not a regular file (a FIFO)\n"
                     "bcl: null: refused: a symbolic link (--dereference follows links)\n"
                     "bcl: to-fifo: refused: a symbolic link (--dereference follows links)\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(listTree(w.dir.path()), before);
    w.expectPreviousArchive();
    // Followed, the links lead to what is refused anyway, still without waiting.
    const RunResult followed = runProgram({w.dir.path(), createArgs(kOldArchive, {"--dereference", "null", "to-fifo", "a"}),
                                           BCL_BINARY, [] { ::alarm(10); }, {}});
    EXPECT_EQ(followed.err, "bcl: null: refused: not a regular file (a character device)\n"
                            "bcl: to-fifo: refused: not a regular file (a FIFO)\n");
    EXPECT_EQ(followed.exitCode, 1);
    EXPECT_EQ(listTree(w.dir.path()), before);
    w.expectPreviousArchive();
}

TEST(BclCreateSafety, TheRefusalNamesTheNumberPastItsLimit) {
    constexpr std::uintmax_t kLargest = 2147483647;
    struct {
        std::vector<std::pair<std::string, std::uintmax_t>> files;
        std::string err;
    } const cases[] = {
        {{{"huge", kLargest + 1}},
         "bcl: huge: refused: 2147483648 bytes long, past 2147483647, the largest length an index holds\n"},
        // The second starts at the largest offset and is fine: a data file can pass 2 GiB.
        {{{"m1", kLargest}, {"m2", kLargest}, {"m3", 0}},
         "bcl: m3: refused: it would start at byte 4294967294, past 2147483647, the largest offset an index "
         "holds\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        Workspace w;
        std::vector<std::string> names;
        for (const auto& [name, size] : c.files) {
            writeFile(w.dir / name, "");
            fs::resize_file(w.dir / name, size);  // sparse: refused before a byte is read
            names.push_back(name);
        }
        const auto before = listTree(w.dir.path());
        const RunResult r = bcl(w.dir.path(), createArgs(kOldArchive, names));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(listTree(w.dir.path()), before);
        w.expectPreviousArchive();
    }
}

fs::perms permissionsOf(const fs::path& path) { return fs::status(path).permissions() & fs::perms::all; }

TEST(BclCreateSafety, AReplacedArchiveKeepsItsPermissionsAndANewOneFollowsTheUmask) {
    struct {
        mode_t umask;
        std::optional<fs::perms> previous;  // none: no archive before
        fs::perms expected;
    } const cases[] = {
        {022, std::nullopt, static_cast<fs::perms>(0644)},
        {077, std::nullopt, static_cast<fs::perms>(0600)},
        {022, static_cast<fs::perms>(0640), static_cast<fs::perms>(0640)},
        {077, static_cast<fs::perms>(0664), static_cast<fs::perms>(0664)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("umask " + std::to_string(c.umask));
        Workspace w;
        if (c.previous) {
            fs::permissions(w.dir / "OLD.BCL", *c.previous);
            fs::permissions(w.dir / "OLD.BCD", *c.previous);
        } else {
            fs::remove(w.dir / "OLD.BCL");
            fs::remove(w.dir / "OLD.BCD");
        }
        const mode_t mask = c.umask;
        const RunResult r = runProgram(
            {w.dir.path(), createArgs(kOldArchive, {"a"}), BCL_BINARY, [mask] { ::umask(mask); }, {}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(permissionsOf(w.dir / "OLD.BCL"), c.expected);
        EXPECT_EQ(permissionsOf(w.dir / "OLD.BCD"), c.expected);
    }
}

TEST(BclCreateSafety, AReplacedArchiveKeepsItsOwner) {
    // Root rewriting a user's archive must not leave it root's, which the user could then no
    // longer change in place.
    Workspace w;
    constexpr uid_t kOwner = 65534;
    constexpr gid_t kGroup = 65533;
    for (const char* name : {"OLD.BCL", "OLD.BCD"}) ASSERT_EQ(::chown((w.dir / name).c_str(), kOwner, kGroup), 0);
    const RunResult r = bcl(w.dir.path(), createArgs(kOldArchive, {"a"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : {"OLD.BCL", "OLD.BCD"}) {
        struct stat st {};
        ASSERT_EQ(::stat((w.dir / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kOwner) << name;
        EXPECT_EQ(st.st_gid, kGroup) << name;
    }
    EXPECT_EQ(readFile(w.dir / "OLD.BCD"), "first");
}

TEST(BclCreateSafety, ALinkedTargetStaysALinkAndWhatItPointsToIsReplaced) {
    struct {
        std::string what;
        std::string index;  // given with -i; the data file is given through "data-link"
        std::string indexFile;
        std::string dataLinkText;
        std::string dataFile;
    } const cases[] = {
        {"links to existing files", "index-link", "real/OLD.BCL", "../real/OLD.BCD", "real/OLD.BCD"},
        {"a dangling link, relative to another directory", "index-link", "real/OLD.BCL", "../elsewhere/NEW.BCD",
         "elsewhere/NEW.BCD"},
        {"a chain of links through a linked directory", "real-link/index-link", "real/OLD.BCL", "../chain",
         "real/OLD.BCD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Workspace w;
        fs::create_directory(w.dir / "real");
        fs::create_directory(w.dir / "elsewhere");
        fs::rename(w.dir / "OLD.BCL", w.dir / "real/OLD.BCL");
        fs::rename(w.dir / "OLD.BCD", w.dir / "real/OLD.BCD");
        fs::create_symlink("real/OLD.BCL", w.dir / "index-link");
        fs::create_directory_symlink(".", w.dir / "real-link");
        fs::create_symlink("real/OLD.BCD", w.dir / "chain");
        fs::create_directory(w.dir / "links");
        fs::create_symlink(c.dataLinkText, w.dir / "links/data-link");
        const RunResult r = bcl(w.dir.path(), createArgs({"-i", c.index, "-d", "links/data-link"}, {"a"}));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(fs::is_symlink(w.dir / "index-link"));
        EXPECT_EQ(fs::read_symlink(w.dir / "links/data-link"), c.dataLinkText);
        EXPECT_EQ(readFile(w.dir / c.indexFile), "BCL ARCHIVE\n1 FILES\n[a]\n0\n5\n");
        EXPECT_EQ(readFile(w.dir / c.dataFile), "first");
    }
}

}  // namespace
}  // namespace unbcl::test
