// SPDX-License-Identifier: MIT
// bcl mount and umount, mounted for real: what the mount shows against what bcl extract
// writes, reads against the data file's bytes, and what is left once it is unmounted.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "bcl_support.hpp"
#include "unbcl/file_io.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr long kFuseSuperMagic = 0x65735546;

struct RawEntry {
    std::string name;
    long offset;
    long length;
};

// An archive written byte for byte, so that it can hold what bcl create never writes: unsafe
// and duplicate names, members past the end of the data file.
struct RawArchive {
    ScratchDir dir;
    fs::path index = dir / "A.BCL";
    fs::path data = dir / "A.BCD";
    fs::path mountPoint = dir / "mnt";

    RawArchive(const std::vector<RawEntry>& entries, std::string_view dataBytes) {
        std::string text = "TEST ARCHIVE\n" + std::to_string(entries.size()) + " FILES\n";
        for (const RawEntry& e : entries) {
            text += "[" + e.name + "]\n" + std::to_string(e.offset) + "\n" + std::to_string(e.length) + "\n";
        }
        writeFile(index, text);
        writeFile(data, dataBytes);
        fs::create_directory(mountPoint);
        mountPoint = fs::canonical(mountPoint);
    }

    std::vector<std::string> withArchive(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-i", index.string(), "-d", data.string()});
        return args;
    }
};

// The type of the file system mounted on top at path, or "" when there is none.
std::string mountedTypeAt(const fs::path& path) {
    std::ifstream info("/proc/self/mountinfo");
    std::string type;
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, field;
        fields >> id >> parent >> device >> root >> point;
        if (point != path.string()) continue;
        while (fields >> field && field != "-") {
        }
        fields >> type;
    }
    return type;
}

bool waitUntil(const std::function<bool()>& done) {
    for (const auto end = Clock::now() + kDeadline; Clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Does some process still have path on its command line (a server that outlived its mount)?
bool anyProcessMentions(const std::string& path) {
    for (const auto& proc : fs::directory_iterator("/proc")) {
        std::ifstream cmdline(proc.path() / "cmdline", std::ios::binary);
        const std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (args.find(path) != std::string::npos && proc.path().filename() != std::to_string(::getpid())) return true;
    }
    return false;
}

struct ServerEnd {
    int exitCode = -1;
    std::string err;
};

// bcl mount -f running as a child of the test, so that its exit status and standard error
// (and any sanitizer report) are seen. Whatever happens in the test, the destructor unmounts
// and reaps the server, killing it if it does not end; a reader stuck in the mount is then
// released with an error instead of hanging the test.
class ForegroundMount {
public:
    ForegroundMount(const RawArchive& archive, std::vector<std::string> mountArgs = {})
        : mountPoint_(archive.mountPoint), server_(archive.dir.path(), serverArgs(archive, std::move(mountArgs))) {
        mounted_ = waitUntil([this] { return mountedTypeAt(mountPoint_) == "fuse.bcl" || server_.hasExited(); }) &&
                   mountedTypeAt(mountPoint_) == "fuse.bcl";
    }
    ForegroundMount(const ForegroundMount&) = delete;
    ForegroundMount& operator=(const ForegroundMount&) = delete;

    ~ForegroundMount() {
        if (mountedTypeAt(mountPoint_) == "fuse.bcl") ::umount2(mountPoint_.c_str(), MNT_DETACH);
        // A server still running after that is killed and reaped by server_ itself.
        waitUntil([this] { return server_.hasExited(); });
    }

    bool mounted() const { return mounted_; }
    std::string serverErr() const { return server_.err(); }

    // Unmounts with bcl umount and waits for the server to end.
    ServerEnd unmount() {
        const RunResult r = bcl("/", {"umount", mountPoint_.string()});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
        ServerEnd end;
        EXPECT_TRUE(waitUntil([this] { return server_.hasExited(); })) << "the server outlived its mount";
        if (server_.hasExited()) end.exitCode = server_.exitCode();
        end.err = serverErr();
        return end;
    }

private:
    std::vector<std::string> serverArgs(const RawArchive& archive, std::vector<std::string> mountArgs) const {
        std::vector<std::string> args = archive.withArchive({"mount", "-f"});
        args.insert(args.end(), mountArgs.begin(), mountArgs.end());
        args.push_back(mountPoint_.string());
        return args;
    }

    fs::path mountPoint_;
    Background server_;
    bool mounted_ = false;
};

void expectNothingLeftBehind(const fs::path& mountPoint) {
    EXPECT_EQ(mountedTypeAt(mountPoint), "");
    EXPECT_TRUE(fs::is_empty(mountPoint));
}

// Should a test fail half-way through a background mount, the server ends by itself once its
// mount is detached.
class DetachAtEnd {
public:
    explicit DetachAtEnd(fs::path mountPoint) : mountPoint_(std::move(mountPoint)) {}
    DetachAtEnd(const DetachAtEnd&) = delete;
    DetachAtEnd& operator=(const DetachAtEnd&) = delete;
    ~DetachAtEnd() {
        if (mountedTypeAt(mountPoint_) == "fuse.bcl") ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }

private:
    fs::path mountPoint_;
};

class BclMount : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", F_OK) != 0) GTEST_SKIP() << "no /dev/fuse on this machine: bcl mount cannot be tested";
    }
};

std::string patternBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

struct TreeCase {
    std::string label;
    std::vector<RawEntry> entries;
    std::size_t dataSize;
    std::string expectedErr;  // what the server says at mount time
};

std::vector<RawEntry> manyInOneDirectory() {
    std::vector<RawEntry> entries;
    for (int i = 0; i < 2000; ++i) entries.push_back({"many/member-with-a-long-name-" + std::to_string(i), i, 1});
    return entries;
}

TEST_F(BclMount, EveryFileEqualsWhatExtractWritesAndStatSizesAgree) {
    const std::vector<TreeCase> cases{
        {"nested names",
         {{"a/b/c.txt", 0, 10}, {"a/d.txt", 10, 5}, {"e.txt", 15, 7}, {"x//y/./z", 22, 3}, {"./top", 25, 1}},
         64,
         ""},
        // A backslash separates directories, as in every bcl command; a drive letter is absolute.
        {"backslash names become directories", {{"dir\\file.txt", 0, 4}, {"a\\b\\c", 4, 4}}, 16, ""},
        // Named as bcl shows it everywhere, with '/' for the backslash.
        {"a drive letter is left out", {{"C:\\WIN.INI", 0, 4}, {"ok", 4, 4}}, 16,
         "bcl: C:/WIN.INI: left out: absolute name (drive letter)\n"},
        {"duplicates: the later entry wins", {{"d.txt", 0, 4}, {"n/d", 4, 4}, {"d.txt", 8, 6}, {"n/d", 1, 2}}, 16, ""},
        {"unsafe names are left out",
         {{"/abs", 0, 2}, {"../up", 0, 2}, {"a/../b", 0, 2}, {"", 0, 2}, {"ok", 2, 2}, {"/abs", 0, 3}},
         8,
         "bcl: /abs: left out: absolute name\n"
         "bcl: ../up: left out: name has a '..' component\n"
         "bcl: a/../b: left out: name has a '..' component\n"
         "bcl: : left out: empty name\n"},
        {"members past the end show the bytes that exist",
         {{"part", 90, 20}, {"beyond", 200, 5}, {"negative-offset", -4, 8}, {"negative-length", 0, -3}},
         100,
         ""},
        {"empty members", {{"empty", 0, 0}, {"sub/empty", 50, 0}, {"far/empty", 1000, 0}}, 10, ""},
        {"many entries in one directory", manyInOneDirectory(), 2000, ""},
    };
    for (const TreeCase& c : cases) {
        SCOPED_TRACE(c.label);
        const RawArchive archive(c.entries, patternBytes(c.dataSize, 1));
        const fs::path out = archive.dir / "out";
        fs::create_directory(out);
        (void)bcl(archive.dir.path(), archive.withArchive({"extract", "-C", out.string()}));
        ForegroundMount mount(archive);
        ASSERT_TRUE(mount.mounted()) << mount.serverErr();

        EXPECT_EQ(listTree(archive.mountPoint), listTree(out));
        EXPECT_EQ(readRegularFiles(archive.mountPoint), readRegularFiles(out));
        for (const std::string& name : listTree(out)) {
            if (fs::is_regular_file(out / name)) {
                EXPECT_EQ(fs::file_size(archive.mountPoint / name), fs::file_size(out / name)) << name;
            }
        }
        // It was mounted and served: names left out are said, and are no failure of the mount.
        const ServerEnd end = mount.unmount();
        EXPECT_EQ(end.err, c.expectedErr);
        EXPECT_EQ(end.exitCode, 0);
        expectNothingLeftBehind(archive.mountPoint);
    }
}

TEST_F(BclMount, ANameThatIsBothAFileAndADirectoryShowsTheDirectory) {
    const std::vector<std::vector<RawEntry>> orders{{{"a", 0, 1}, {"a/b", 1, 1}}, {{"a/b", 1, 1}, {"a", 0, 1}}};
    for (const std::vector<RawEntry>& entries : orders) {
        SCOPED_TRACE(entries.front().name + " first");
        const RawArchive archive(entries, "AB");
        ForegroundMount mount(archive);
        ASSERT_TRUE(mount.mounted()) << mount.serverErr();
        EXPECT_TRUE(fs::is_directory(archive.mountPoint / "a"));
        EXPECT_EQ(readFile(archive.mountPoint / "a/b"), "B");
        const ServerEnd end = mount.unmount();
        EXPECT_EQ(end.err, "bcl: a: left out: a directory of the same name is in the archive\n");
        EXPECT_EQ(end.exitCode, 0);
    }
}

TEST_F(BclMount, OwnerAndTimesComeFromTheDataFileAndNothingCanBeWritten) {
    const RawArchive archive({{"d/e/f", 0, 3}, {"d/g", 3, 1}, {"h", 0, 0}}, "abcd");
    ASSERT_EQ(::chown(archive.data.c_str(), 1234, 5678), 0);
    const timespec times[2] = {{1'000'000'000, 5}, {1'100'000'000, 7}};
    ASSERT_EQ(::utimensat(AT_FDCWD, archive.data.c_str(), times, 0), 0);
    ForegroundMount mount(archive);
    ASSERT_TRUE(mount.mounted()) << mount.serverErr();

    struct Expected {
        std::string name;
        mode_t mode;
        nlink_t links;
    };
    for (const Expected& e : std::vector<Expected>{{"", S_IFDIR | 0555, 3},
                                                   {"d", S_IFDIR | 0555, 3},
                                                   {"d/e", S_IFDIR | 0555, 2},
                                                   {"d/e/f", S_IFREG | 0444, 1},
                                                   {"h", S_IFREG | 0444, 1}}) {
        SCOPED_TRACE(e.name);
        struct stat st {};
        ASSERT_EQ(::stat((archive.mountPoint / e.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, e.mode);
        EXPECT_EQ(st.st_nlink, e.links);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
        EXPECT_EQ(st.st_mtim.tv_sec, 1'100'000'000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    }
    struct statfs fsInfo {};
    ASSERT_EQ(::statfs(archive.mountPoint.c_str(), &fsInfo), 0);
    EXPECT_EQ(fsInfo.f_type, kFuseSuperMagic);
    EXPECT_EQ(::open((archive.mountPoint / "h").c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(::mkdir((archive.mountPoint / "new").c_str(), 0777), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(::open((archive.mountPoint / "d/absent").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(mount.unmount().exitCode, 0);
}

// The bytes a read of the member should give: the data file's, cut at the member's end and at
// the data file's.
std::string expectedRead(const std::string& data, const RawEntry& e, long offset, long length) {
    const long memberEnd = std::min<long>(e.length, static_cast<long>(data.size()) - e.offset);
    if (offset >= memberEnd) return "";
    return data.substr(static_cast<std::size_t>(e.offset + offset),
                       static_cast<std::size_t>(std::min(length, memberEnd - offset)));
}

std::string preadAt(int fd, long offset, long length) {
    std::string got(static_cast<std::size_t>(length), '\0');
    std::size_t done = 0;
    while (done < got.size()) {
        const ssize_t n = ::pread(fd, got.data() + done, got.size() - done, offset + static_cast<long>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    got.resize(done);
    return got;
}

TEST_F(BclMount, ConcurrentRandomReadsMatchTheDataFile) {
    constexpr std::size_t kDataSize = 12 << 20;
    const std::string data = patternBytes(kDataSize, 2);
    std::mt19937 rng(3);
    std::vector<RawEntry> entries;
    for (int i = 0; i < 24; ++i) {
        const long length = std::uniform_int_distribution<long>(1, 3 << 20)(rng);
        const long offset = std::uniform_int_distribution<long>(0, static_cast<long>(kDataSize) - 1)(rng);
        entries.push_back({"m" + std::to_string(i), offset, length});  // overlapping, some past the end
    }
    const RawArchive archive(entries, data);
    ForegroundMount mount(archive);
    ASSERT_TRUE(mount.mounted()) << mount.serverErr();

    const auto reader = [&](unsigned seed) {
        std::mt19937 local(seed);
        int mismatches = 0;
        for (int i = 0; i < 150; ++i) {
            const RawEntry& e = entries[local() % entries.size()];
            const long offset = std::uniform_int_distribution<long>(0, e.length + 4096)(local);
            const long length = std::uniform_int_distribution<long>(1, 512 << 10)(local);
            const UniqueFd fd(::open((archive.mountPoint / e.name).c_str(), O_RDONLY));
            if (preadAt(fd.get(), offset, length) != expectedRead(data, e, offset, length)) ++mismatches;
        }
        return mismatches;
    };
    std::vector<std::future<int>> readers;
    for (unsigned seed = 10; seed < 16; ++seed) readers.push_back(std::async(std::launch::async, reader, seed));
    for (std::future<int>& r : readers) {
        ASSERT_EQ(r.wait_for(kDeadline * 3), std::future_status::ready) << "a reader hangs";
        EXPECT_EQ(r.get(), 0);
    }
    EXPECT_EQ(mount.unmount().exitCode, 0);
}

TEST_F(BclMount, ADataFileThatShrinksWhileMountedGivesTheBytesThatExistWithoutHanging) {
    const std::string data = patternBytes(300'000, 4);
    const RawArchive archive({{"first", 0, 100'000}, {"middle", 100'000, 100'000}, {"last", 200'000, 100'000}}, data);
    ForegroundMount mount(archive);
    ASSERT_TRUE(mount.mounted()) << mount.serverErr();
    EXPECT_EQ(readFile(archive.mountPoint / "first"), data.substr(0, 100'000));

    ASSERT_EQ(::truncate(archive.data.c_str(), 150'000), 0);
    auto afterShrinking = std::async(std::launch::async, [&] {
        return std::pair(readFile(archive.mountPoint / "middle"), readFile(archive.mountPoint / "last"));
    });
    ASSERT_EQ(afterShrinking.wait_for(kDeadline), std::future_status::ready) << "a reader hangs";
    const auto [middle, last] = afterShrinking.get();
    EXPECT_EQ(middle, data.substr(100'000, 50'000));
    EXPECT_EQ(last, "");
    EXPECT_EQ(mount.unmount().exitCode, 0);
}

TEST_F(BclMount, InTheBackgroundTheMountIsUsableOnceTheCommandReturns) {
    const RawArchive archive({{"dir/x.txt", 0, 5}}, "hello");
    const RunResult r = bcl(archive.dir.path(), archive.withArchive({"mount", archive.mountPoint.string()}));
    const DetachAtEnd detach(archive.mountPoint);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(archive.mountPoint / "dir/x.txt"), "hello");
    EXPECT_EQ(mountedTypeAt(archive.mountPoint), "fuse.bcl");

    const RunResult u = bcl("/", {"umount", archive.mountPoint.string()});
    EXPECT_EQ(u.err, "");
    EXPECT_EQ(u.exitCode, 0);
    expectNothingLeftBehind(archive.mountPoint);
    EXPECT_TRUE(waitUntil([&] { return !anyProcessMentions(archive.mountPoint.string()); }))
        << "the background server outlived its mount";
}

// Scripts ask "is it mounted?" with "bcl mount A m && ls m".
TEST_F(BclMount, MountedWithNamesLeftOutExitsZeroAndNamesEach) {
    const RawArchive archive({{"../up", 0, 1}, {"ok", 1, 1}, {"/abs", 0, 1}}, "xy");
    const RunResult r = bcl(archive.dir.path(), archive.withArchive({"mount", archive.mountPoint.string()}));
    const DetachAtEnd detach(archive.mountPoint);
    EXPECT_EQ(r.err, "bcl: ../up: left out: name has a '..' component\nbcl: /abs: left out: absolute name\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(archive.mountPoint / "ok"), "y");
    EXPECT_EQ(bcl("/", {"umount", archive.mountPoint.string()}).exitCode, 0);
}

// With --charset a left-out name is named as test and extract name it: converted, not as
// the code page's bytes.
TEST_F(BclMount, LeftOutNamesAreShownConvertedAsTestShowsThem) {
    // CP437 0xB0 is U+2591, three bytes in UTF-8: 96 of them make a 288-byte component.
    const std::string wide(96, '\xb0');
    const std::string wideShown = [] {
        std::string utf8;
        for (int i = 0; i < 96; ++i) utf8 += "\u2591";
        return utf8;
    }();
    const RawArchive archive({{wide, 0, 1}, {"\x80\\..\\x", 0, 1}, {"\x81", 1, 1}}, "ab");
    const std::vector<std::string> charset{"--charset", "CP437"};
    ForegroundMount mount(archive, charset);
    ASSERT_TRUE(mount.mounted()) << mount.serverErr();
    EXPECT_EQ(readFile(archive.mountPoint / "\u00fc"), "b");
    const ServerEnd end = mount.unmount();
    const std::string tooLong = wideShown + ": left out: a part of the name is longer than 255 bytes\n";
    EXPECT_EQ(end.err, "bcl: " + tooLong + "bcl: \u00c7/../x: left out: name has a '..' component\n");
    EXPECT_EQ(end.exitCode, 0);

    const RunResult test = bcl(archive.dir.path(), archive.withArchive({"test", "--charset", "CP437", wideShown}));
    EXPECT_EQ(test.err, "bcl: " + wideShown + ": a part of the name is longer than 255 bytes\n");
    EXPECT_EQ(test.exitCode, 1);

    // A name that does not convert at all is reported once, as extract reports it.
    const RawArchive broken({{"ok", 0, 1}, {"bad\x81", 1, 1}}, "ab");
    ForegroundMount utf8(broken, {"--charset", "UTF-8"});
    ASSERT_TRUE(utf8.mounted()) << utf8.serverErr();
    EXPECT_EQ(readFile(broken.mountPoint / "ok"), "a");
    const ServerEnd brokenEnd = utf8.unmount();
    EXPECT_EQ(brokenEnd.err,
              "bcl: bad\\x81: name does not convert from UTF-8: Invalid or incomplete multibyte or wide character\n");
    EXPECT_EQ(brokenEnd.exitCode, 0);
}

// What the mount shows of a member's mode: the data file's read bits, so that allow_other lets
// no user read through the mount what the data file keeps from them.
TEST_F(BclMount, MembersCarryTheDataFilesReadBitsForEveryUser) {
    struct Case {
        mode_t dataMode;
        mode_t fileMode;
        mode_t directoryMode;
        bool nobodyReads;
    };
    for (const Case& c : std::vector<Case>{{0600, 0400, 0500, false}, {0640, 0440, 0550, false},
                                           {0644, 0444, 0555, true}, {0604, 0404, 0505, true}}) {
        SCOPED_TRACE(std::to_string(c.dataMode));
        const RawArchive archive({{"d/secret", 0, 6}}, "secret");
        // The way to the mount point is open to everyone; only the mount can say no.
        fs::permissions(archive.dir.path(), fs::perms(0755));
        ASSERT_EQ(::chmod(archive.data.c_str(), c.dataMode), 0);
        ForegroundMount mount(archive, {"-o", "allow_other"});
        ASSERT_TRUE(mount.mounted()) << mount.serverErr();
        struct stat file {};
        struct stat directory {};
        ASSERT_EQ(::stat((archive.mountPoint / "d/secret").c_str(), &file), 0);
        ASSERT_EQ(::stat((archive.mountPoint / "d").c_str(), &directory), 0);
        EXPECT_EQ(file.st_mode, S_IFREG | c.fileMode);
        EXPECT_EQ(directory.st_mode, S_IFDIR | c.directoryMode);

        const std::string path = (archive.mountPoint / "d/secret").string();
        const RunResult asNobody = runProgram({"/", {path}, "/bin/cat", dropRootPrivileges, {}});
        EXPECT_EQ(asNobody.exitCode, c.nobodyReads ? 0 : 1);
        EXPECT_EQ(asNobody.out, c.nobodyReads ? "secret" : "");
        EXPECT_EQ(asNobody.err.find("Permission denied") != std::string::npos, !c.nobodyReads) << asNobody.err;
        EXPECT_EQ(mount.unmount().exitCode, 0);
    }
}

TEST_F(BclMount, FailuresToMountSayWhyAndExit2) {
    const RawArchive archive({{"x", 0, 1}}, "x");
    writeFile(archive.dir / "plain", "");
    struct Case {
        std::string label;
        std::vector<std::string> args;
        std::string err;
    };
    const std::string missing = (archive.dir / "missing").string();
    const std::string plain = (archive.dir / "plain").string();
    const std::string fifo = (archive.dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string mnt = archive.mountPoint.string();
    const std::vector<Case> cases{
        {"no mount point", archive.withArchive({"mount", missing}),
         "bcl: " + missing + ": cannot mount: No such file or directory\n"},
        {"mount point not a directory", archive.withArchive({"mount", plain}),
         "bcl: " + plain + ": cannot mount: Not a directory\n"},
        {"no data file", {"-i", archive.index.string(), "-d", missing, "mount", mnt},
         "bcl: " + missing + ": cannot open: No such file or directory\n"},
        {"no index file", {"-i", missing, "-d", archive.data.string(), "mount", mnt},
         "bcl: " + missing + ": cannot open: No such file or directory\n"},
        // Served, these would show every member empty, and a FIFO would hold the mount.
        {"a FIFO as the data file", {"-i", archive.index.string(), "-d", fifo, "mount", mnt},
         "bcl: " + fifo + ": cannot open: not a regular file (a FIFO)\n"},
        {"a device as the data file", {"-i", archive.index.string(), "-d", "/dev/zero", "mount", mnt},
         "bcl: /dev/zero: cannot open: not a regular file (a character device)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const RunResult r = bcl(archive.dir.path(), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(mountedTypeAt(archive.mountPoint), "");
    }
    // FUSE says which option it does not know on a line of its own before ours.
    const RunResult r = bcl(archive.dir.path(), archive.withArchive({"mount", "-o", "no_such_option", mnt}));
    EXPECT_NE(r.err.find("bcl: " + mnt + ": cannot mount: FUSE refused the options\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(mountedTypeAt(archive.mountPoint), "");
}

TEST_F(BclMount, UmountTouchesOnlyWhatBclMounted) {
    const ScratchDir scratch;
    const fs::path other = fs::canonical(scratch.path()) / "ext4";
    const SmallFileSystem otherFileSystem(other);
    const fs::path plain = fs::canonical(scratch.path());
    for (const fs::path& target : {plain, other}) {
        const RunResult r = bcl("/", {"umount", target.string()});
        EXPECT_EQ(r.err, "bcl: " + target.string() + ": cannot unmount: not a file system that bcl mount put up\n");
        EXPECT_EQ(r.exitCode, 2);
    }
    if (otherFileSystem.mounted()) {
        EXPECT_EQ(mountedTypeAt(other), "ext4");
    }
}

}  // namespace
}  // namespace unbcl::test
