// SPDX-License-Identifier: MIT
// bcl extract -j: which members keep index order, and that N threads leave and say exactly what
// one thread does.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "bcl_support.hpp"
#include "commands.hpp"
#include "open_gate.hpp"
#include "unbcl/output_groups.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

// What an extraction directory holds, for comparing two of them: type, link target, and each
// file's size and a hash of its bytes, so that a difference is short enough to read.
std::map<std::string, std::string> describeTree(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string name = item.path().lexically_relative(root).string();
        const fs::file_status st = item.symlink_status();
        if (fs::is_symlink(st)) {
            tree[name] = "link to " + fs::read_symlink(item.path()).string();
        } else if (fs::is_directory(st)) {
            tree[name] = "directory";
        } else if (fs::is_regular_file(st)) {
            const std::string bytes = readFile(item.path());
            tree[name] = "file of " + std::to_string(bytes.size()) + " bytes, hash " +
                         std::to_string(std::hash<std::string>{}(bytes));
        } else {
            tree[name] = "special";
        }
    }
    return tree;
}

// Things in the way of members in root/out, and a file in root/outside that must never change.
void prepareExtractionDirectory(const fs::path& root) {
    const fs::path out = root / "out";
    const fs::path outside = root / "outside";
    fs::create_directories(out / "real");
    fs::create_directory(outside);
    writeFile(outside / "precious", "precious bytes");
    fs::create_symlink("real", out / "link");
    fs::create_symlink("nowhere", out / "dangling");
    fs::create_symlink("../outside", out / "out");
    fs::create_symlink("loop", out / "loop");
    fs::create_symlink("real/target", out / "kept");
    ASSERT_EQ(::mkfifo((out / "fifo").c_str(), 0666), 0);
    writeFile(out / "file", "old");
    fs::create_hard_link(outside / "precious", out / "hl");
}

TEST(ParallelExtract, MembersWhoseOutputsTouchKeepIndexOrder) {
    ScratchDir dir;
    const fs::path out = dir / "out";
    prepareExtractionDirectory(dir.path());
    const UniqueFd outFd(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(outFd);
    struct {
        std::vector<std::string_view> names;
        bool keepExisting;
        MemberGroups groups;
    } const cases[] = {
        {{"a", "b", "c"}, false, {{0}, {1}, {2}}},
        {{"A", "./A", "B", ".//A"}, false, {{0, 1, 3}, {2}}},
        {{"A", "a"}, false, {{0, 1}}},  // one file where case does not count
        {{"d/x", "d/y", "d/./x"}, false, {{0, 2}, {1}}},
        {{"d", "d/x", "e/x"}, false, {{0, 1}, {2}}},  // a file where a directory is needed, or not
        {{"d/e/f", "d/e", "d/g"}, false, {{0, 1}, {2}}},
        {{"new/", "new/x"}, false, {{0, 1}}},
        {{"link/A", "real/A", "real/B"}, false, {{0, 1}, {2}}},
        {{"link", "link/A", "real/A"}, false, {{0, 1, 2}}},  // the link replaced, or followed
        {{"dangling/x", "nowhere/y", "z"}, false, {{0, 1}, {2}}},  // nowhere/y makes what the link needs
        {{"dangling/x", "nowhere"}, false, {{0, 1}}},
        {{"out/x", "out/y", "loop/x", "loop/y"}, false, {{0}, {1}, {2}, {3}}},  // refused either way
        {{"file", "file/x"}, false, {{0, 1}}},
        {{"kept", "real/target"}, false, {{0}, {1}}},  // a link at the name is replaced, not followed
        {{"kept", "real/target"}, true, {{0, 1}}},     // with -k it is followed
        {{"../A", "A", "/A", "d/../A"}, false, {{0}, {1}, {2}, {3}}},  // refused names touch nothing
        {{"", ".", "A"}, false, {{0}, {1}, {2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.names) + (c.keepExisting ? " with -k" : ""));
        BeneathPolicy policy;
        policy.directoryFd = outFd.get();
        policy.keepExisting = c.keepExisting;
        const BeneathExtractor extractor(-1, {}, policy);
        EXPECT_EQ(groupMembersByOutput(c.names, extractor), c.groups);
    }
}

// Names that collide in every way the tree above allows, some refused, some in the way.
const std::vector<std::string> kCollidingNames{
    "A", "./A", "d/../A", "a", "d/A", "d//A", "d/./A", "d", "d/e/f", "d/e", "link/A", "real/A",
    "link", "real", "dangling/x", "nowhere/y", "nowhere", "out/x", "fifo", "file", "file/x", "hl",
    "loop/x", "/abs", "", "x/", "new/deep/z", "new/deep", "kept", "real/target", "sub/k", "SUB/K"};

struct GeneratedArchive {
    std::string index;
    std::string data;
};

// Members with names from kCollidingNames; some run past the end of the data, start before it
// or have a negative length.
GeneratedArchive generateArchive(unsigned seed, std::size_t members) {
    std::mt19937 random(seed);
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    GeneratedArchive a;
    a.data.resize(4096);
    for (char& c : a.data) c = static_cast<char>(pick(0, 255));
    a.index = "GENERATED\n" + std::to_string(members) + " MEMBERS\n";
    for (std::size_t i = 0; i < members; ++i) {
        const int last = static_cast<int>(kCollidingNames.size()) - 1;
        const std::string& name = kCollidingNames[static_cast<std::size_t>(pick(0, last))];
        const int offset = pick(0, 9) == 0 ? pick(-2, 4200) : pick(0, 3500);
        const int length = pick(0, 9) == 0 ? pick(-3, 0) : pick(0, 600);
        a.index += "[" + name + "]\n" + std::to_string(offset) + "\n" + std::to_string(length) + "\n";
    }
    return a;
}

struct Extraction {
    RunResult run;
    std::map<std::string, std::string> tree;
    std::map<std::string, std::string> outside;
};

// Runs bcl extract into root/out, prepared afresh.
Extraction extractInto(const fs::path& archiveDir, const fs::path& root, std::vector<std::string> options) {
    prepareExtractionDirectory(root);
    std::vector<std::string> args{"extract", "-v", "-C", (root / "out").string()};
    args.insert(args.end(), options.begin(), options.end());
    // A FIFO opened for writing would wait for a reader for ever: the alarm makes that a failure.
    Extraction e{runProgram({archiveDir, args, BCL_BINARY, [] { ::alarm(60); }, {}}), {}, {}};
    e.tree = describeTree(root / "out");
    e.outside = describeTree(root / "outside");
    return e;
}

void expectSameExtraction(const Extraction& one, const Extraction& many) {
    ScratchDir preciousOnly;
    writeFile(preciousOnly / "precious", "precious bytes");
    EXPECT_EQ(many.run.exitCode, one.run.exitCode);
    EXPECT_EQ(many.run.out, one.run.out);
    EXPECT_EQ(many.run.err, one.run.err);
    EXPECT_EQ(many.tree, one.tree);
    EXPECT_EQ(many.outside, one.outside);
    EXPECT_EQ(one.outside, describeTree(preciousOnly.path()));
}

TEST(ParallelExtract, ManyThreadsLeaveAndSayWhatOneDoes) {
    const std::vector<std::vector<std::string>> optionSets{{}, {"-k"}, {"--flatten"}, {"-L"}};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const std::vector<std::string>& options = optionSets[seed % optionSets.size()];
        SCOPED_TRACE("seed " + std::to_string(seed) + " " + ::testing::PrintToString(options));
        ScratchDir dir;
        const GeneratedArchive a = generateArchive(seed, 60);
        writeFile(dir / "MOLVARE.BCL", a.index);
        writeFile(dir / "MOLVARE.BCD", a.data);
        std::vector<std::string> oneThread = options;
        oneThread.insert(oneThread.end(), {"-j", "1"});
        std::vector<std::string> fourThreads = options;
        fourThreads.insert(fourThreads.end(), {"-j", "4"});
        const Extraction one = extractInto(dir.path(), dir / "one", oneThread);
        const Extraction many = extractInto(dir.path(), dir / "many", fourThreads);
        expectSameExtraction(one, many);
        EXPECT_NE(one.run.err, "");  // the names above always give something to report
    }
}

TEST(ParallelExtract, AFullDiskFailsTheSameMembers) {
    // Only members of one name go to the small file system: which of several names would meet
    // the full disk first is a matter of timing.
    const std::string big(2 << 20, 'f');
    ScratchDir dir;
    std::string index = "H\nH\n";
    for (const char* name : {"small/FULL", "A", "d/B", "small/FULL", "A", "./small/FULL"}) {
        index += "[" + std::string(name) + "]\n0\n" + std::to_string(name == std::string("A") ? 3 : big.size()) + "\n";
    }
    writeFile(dir / "MOLVARE.BCL", index);
    writeFile(dir / "MOLVARE.BCD", big);

    const SmallFileSystem smallOne(dir / "one/small");
    const SmallFileSystem smallMany(dir / "many/small");
    if (!smallOne.mounted() || !smallMany.mounted()) GTEST_SKIP() << "needs root to mount a small file system";
    const auto run = [&](const fs::path& out, const char* jobs) {
        Extraction e{bcl(dir.path(), {"extract", "-v", "-j", jobs, "-C", out.string()}), describeTree(out), {}};
        return e;
    };
    const Extraction one = run(dir / "one", "1");
    const Extraction many = run(dir / "many", "4");
    EXPECT_EQ(many.run.exitCode, one.run.exitCode);
    EXPECT_EQ(many.run.out, one.run.out);
    EXPECT_EQ(many.run.err, one.run.err);
    EXPECT_EQ(many.tree, one.tree);
    EXPECT_NE(one.run.err.find("bcl: small/FULL: write error: No space left on device\n"), std::string::npos)
        << one.run.err;
    EXPECT_EQ(readFile(dir / "one/d/B"), big);
}

// Waits until a file of that name appears in dir, by creation or by a rename onto it; false when
// it does not within a minute, which only a broken run takes.
bool waitForName(int inotifyFd, const std::string& name) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd ready{inotifyFd, POLLIN, 0};
        if (::poll(&ready, 1, 60'000) <= 0) return false;
        const ssize_t n = ::read(inotifyFd, buffer, sizeof buffer);
        if (n <= 0) return false;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && name == event->name) return true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

TEST(ParallelExtract, AnInterruptSaysWhichLaterMembersOtherThreadsWrote) {
    // One thread is held at the open of held/, the directory of the first two members, until
    // the other has done all the rest and the signal is pending: the first member then
    // finishes, the second is stopped, and the later ones were written by then, except the
    // refused one. One thread would have written none of them, so each is named.
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(::strsignal(signal));
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL",
                  "H\nH\n[held/x]\n0\n5\n[held/x]\n5\n3\n[b]\n5\n3\n[../z]\n0\n1\n[c]\n6\n9\n");
        writeFile(dir / "MOLVARE.BCD", "HELLOabcd");
        fs::create_directories(dir / "out/held");
        std::optional<OpenGate> gate;
        try {
            gate.emplace(dir / "out/held");
        } catch (const std::system_error& e) {
            GTEST_SKIP() << "needs fanotify permission events (root): " << e.what();
        }
        const UniqueFd watch(::inotify_init1(IN_CLOEXEC));
        ASSERT_TRUE(watch);
        ASSERT_GE(::inotify_add_watch(watch.get(), (dir / "out").c_str(), IN_CREATE | IN_MOVED_TO), 0);

        Background run(dir.path(), {"extract", "-j", "2", "-C", "out"});
        // The first open is the grouping's, before any thread starts; the second the thread's.
        ASSERT_TRUE(gate->waitForOpen());
        gate->letThrough();
        ASSERT_TRUE(gate->waitForOpen());
        ASSERT_TRUE(waitForName(watch.get(), "c"));
        ASSERT_EQ(::kill(run.pid(), signal), 0);
        gate->release();

        const int status = run.wait();
        ASSERT_TRUE(WIFSIGNALED(status)) << run.err();
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(run.err(),
                  "bcl: b: written before the interrupt\n"
                  "bcl: c: member runs past the end of the data file: 6 of 9 bytes missing\n"
                  "bcl: c: written before the interrupt\n");
        EXPECT_EQ(readRegularFiles(dir / "out"), (FileSet{{"held/x", "HELLO"}, {"b", "abc"}, {"c", "bcd"}}));
        EXPECT_EQ(listTree(dir / "out"), (std::set<std::string>{"b", "c", "held", "held/x"}));
    }
}

// In this process, so that a thread sanitizer sees the threads: many runs of one archive, each
// compared with the run of one thread.
TEST(ParallelExtract, RepeatedRunsInProcessAgreeWithOneThread) {
    ScratchDir dir;
    const GeneratedArchive a = generateArchive(7, 200);
    writeFile(dir / "MOLVARE.BCL", a.index);
    writeFile(dir / "MOLVARE.BCD", a.data);
    const auto extract = [&](const std::string& name, unsigned jobs) {
        const fs::path root = dir / name;
        const fs::path out = root / "out";
        prepareExtractionDirectory(root);
        writeFile(dir / "err", "");
        writeFile(dir / "out", "");
        const UniqueFd err(::open((dir / "err").c_str(), O_WRONLY | O_CLOEXEC));
        const UniqueFd listing(::open((dir / "out").c_str(), O_WRONLY | O_CLOEXEC));
        bcl::ExtractOptions options;
        options.directory = out.string();
        options.verbose = true;
        options.jobs = jobs;
        Extraction e;
        e.run.exitCode = bcl::extractArchive({(dir / "MOLVARE.BCL").string(), (dir / "MOLVARE.BCD").string()},
                                             options, {listing.get(), err.get(), false, false});
        e.run.err = readFile(dir / "err");
        e.run.out = readFile(dir / "out");
        e.tree = describeTree(out);
        e.outside = describeTree(root / "outside");
        fs::remove_all(root);
        return e;
    };
    const Extraction one = extract("one", 1);
    const auto start = std::chrono::steady_clock::now();
    int runs = 0;
    // Bounded in time too: under a thread sanitizer a run is many times slower.
    while (runs < 150 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
        SCOPED_TRACE("run " + std::to_string(runs));
        expectSameExtraction(one, extract("many", runs % 2 == 0 ? 4 : 8));
        if (::testing::Test::HasFailure()) break;
        ++runs;
    }
    EXPECT_GE(runs, 10);
}

}  // namespace
}  // namespace unbcl::test
