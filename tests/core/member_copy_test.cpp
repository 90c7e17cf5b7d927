// SPDX-License-Identifier: MIT
// Copying a member's bytes: what a data file that is short, or cut while the copy runs, gives,
// and how failed reads and writes and a held signal end a copy.
#include "unbcl/member_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/held_signals.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

// Bytes that differ from block to block, so that a piece copied from the wrong place shows.
std::string patternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) % 251);
    return bytes;
}

UniqueFd openFile(const fs::path& path, int flags) { return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0644)); }

struct Pipe {
    UniqueFd read;
    UniqueFd write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = UniqueFd(fds[0]);
            write = UniqueFd(fds[1]);
        }
    }
};

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

// Copies the member into a regular file, where the kernel copies, and into a pipe, where the
// copier reads and writes itself; both must give the same bytes.
struct Copied {
    CopyOutcome outcome;
    std::string bytes;
};

Copied copyToFile(MemberCopier& copier, int dataFd, std::int64_t offset, std::int64_t length, const fs::path& out) {
    const UniqueFd fd = openFile(out, O_RDWR | O_CREAT | O_TRUNC);
    Copied c{copier.copy(dataFd, offset, length, fd.get()), {}};
    c.bytes = readFile(out);
    return c;
}

Copied copyToPipe(MemberCopier& copier, int dataFd, std::int64_t offset, std::int64_t length) {
    Pipe pipe;
    Copied c;
    std::thread drain([&] { c.bytes = readAll(pipe.read.get()); });
    c.outcome = copier.copy(dataFd, offset, length, pipe.write.get());
    pipe.write.reset();
    drain.join();
    return c;
}

TEST(MemberCopier, CopiesTheBytesTheDataFileHoldsAndMakesNoneUp) {
    // Several of the copier's 128 KiB blocks, and a last one that is only partly there.
    constexpr std::int64_t kSize = 300 * 1024 + 17;
    const std::string data = patternedBytes(kSize);
    ScratchDir dir;
    writeFile(dir / "data", data);
    const UniqueFd dataFd = openFile(dir / "data", O_RDONLY);
    ASSERT_TRUE(dataFd);
    struct {
        std::int64_t offset, length;
        std::int64_t copied;
        std::optional<ProblemKind> problem;
    } const cases[] = {
        {0, kSize, kSize, std::nullopt},
        {5, 200000, 200000, std::nullopt},
        {kSize - 1, 1, 1, std::nullopt},
        {0, 0, 0, std::nullopt},
        {kSize, 0, 0, std::nullopt},
        {100000, kSize, kSize - 100000, ProblemKind::NotWhole},  // the data file ends first
        {kSize, 10, 0, ProblemKind::NotWhole},
        {kSize + 4096, 10, 0, ProblemKind::NotWhole},
        {-1, 10, 0, ProblemKind::NotWhole},
        {0, -3, 0, ProblemKind::NotWhole},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " " + std::to_string(c.length));
        const std::string expected =
            c.copied == 0 ? "" : data.substr(static_cast<std::size_t>(c.offset), static_cast<std::size_t>(c.copied));
        MemberCopier copier;
        for (const Copied& got : {copyToFile(copier, dataFd.get(), c.offset, c.length, dir / "out"),
                                  copyToPipe(copier, dataFd.get(), c.offset, c.length)}) {
            EXPECT_EQ(got.outcome.copied, c.copied);
            EXPECT_EQ(got.outcome.readErrno, 0);
            EXPECT_EQ(got.outcome.writeErrno, 0);
            EXPECT_EQ(got.bytes, expected);
            const ListMLV entry{"m", static_cast<std::int32_t>(c.offset), static_cast<std::int32_t>(c.length)};
            const std::optional<Problem> problem = copyProblem(entry, got.outcome, 0, CopyTarget::File);
            EXPECT_EQ(problem ? std::optional(problem->kind) : std::nullopt, c.problem);
        }
    }
}

TEST(MemberCopier, ADataFileCutDuringTheCopyEndsTheMemberWhereTheFileNowEnds) {
    // The copier writes into a pipe that this thread drains: it cannot read a block before it
    // has written the one before, so once 128 KiB are drained it has read no further than
    // 256 KiB. The file is then cut, through a descriptor of its own, inside the block after.
    constexpr std::size_t kBlock = 128 * 1024;
    constexpr std::size_t kCut = 2 * kBlock + 4000;
    const std::string data = patternedBytes(4 * kBlock);
    ScratchDir dir;
    writeFile(dir / "data", data);
    const UniqueFd dataFd = openFile(dir / "data", O_RDONLY);
    const UniqueFd cutter = openFile(dir / "data", O_WRONLY);
    ASSERT_TRUE(dataFd && cutter);
    Pipe pipe;
    ASSERT_TRUE(pipe.read);
    ASSERT_GT(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 65536), 0);

    MemberCopier copier;
    CopyOutcome outcome;
    std::thread copying([&] {
        outcome = copier.copy(dataFd.get(), 0, static_cast<std::int64_t>(data.size()), pipe.write.get());
        pipe.write.reset();
    });
    std::string received(kBlock, '\0');
    std::size_t have = 0;
    while (have < kBlock) {
        const ssize_t n = ::read(pipe.read.get(), received.data() + have, kBlock - have);
        ASSERT_GT(n, 0);
        have += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(::ftruncate(cutter.get(), static_cast<off_t>(kCut)), 0);
    received += readAll(pipe.read.get());
    copying.join();

    EXPECT_EQ(outcome.copied, static_cast<std::int64_t>(kCut));
    EXPECT_EQ(outcome.readErrno, 0);
    EXPECT_EQ(outcome.writeErrno, 0);
    EXPECT_EQ(received, data.substr(0, kCut));
    const std::optional<Problem> problem =
        copyProblem({"m", 0, static_cast<std::int32_t>(data.size())}, outcome, 0, CopyTarget::Stream);
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->kind, ProblemKind::NotWhole);
    EXPECT_EQ(problem->reason, "member runs past the end of the data file: " +
                                   std::to_string(data.size() - kCut) + " of " + std::to_string(data.size()) +
                                   " bytes missing");
}

TEST(MemberCopier, AFailedReadOrWriteIsToldWithItsErrno) {
    ScratchDir dir;
    writeFile(dir / "data", patternedBytes(1000));
    const UniqueFd data = openFile(dir / "data", O_RDONLY);
    const UniqueFd full = openFile("/dev/full", O_WRONLY);
    const UniqueFd directory = openFile(dir.path(), O_RDONLY | O_DIRECTORY);
    const UniqueFd out = openFile(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(data && full && directory && out);
    const ListMLV entry{"m", 0, 1000};
    MemberCopier copier;

    const CopyOutcome toFull = copier.copy(data.get(), 0, 1000, full.get());
    EXPECT_EQ(toFull.writeErrno, ENOSPC);
    const std::optional<Problem> writeProblem = copyProblem(entry, toFull, 0, CopyTarget::File);
    ASSERT_TRUE(writeProblem);
    EXPECT_EQ(writeProblem->kind, ProblemKind::CannotWrite);
    EXPECT_EQ(writeProblem->systemError, ENOSPC);

    const CopyOutcome fromDirectory = copier.copy(directory.get(), 0, 1000, out.get());
    EXPECT_EQ(fromDirectory.readErrno, EISDIR);
    EXPECT_EQ(fromDirectory.copied, 0);
    const std::optional<Problem> readProblem = copyProblem(entry, fromDirectory, 0, CopyTarget::File);
    ASSERT_TRUE(readProblem);
    EXPECT_EQ(readProblem->kind, ProblemKind::CannotRead);
    EXPECT_EQ(readProblem->systemError, EISDIR);

    // A whole copy whose close failed lost bytes all the same.
    const CopyOutcome whole = copier.copy(data.get(), 0, 1000, out.get());
    ASSERT_EQ(whole.copied, 1000);
    EXPECT_FALSE(copyProblem(entry, whole, 0, CopyTarget::File));
    const std::optional<Problem> closeProblem = copyProblem(entry, whole, EIO, CopyTarget::File);
    ASSERT_TRUE(closeProblem);
    EXPECT_EQ(closeProblem->kind, ProblemKind::CannotWrite);
    EXPECT_EQ(closeProblem->systemError, EIO);
}

TEST(MemberCopier, AHeldSignalStopsTheCopyAtTheEndOfAPiece) {
    // A sparse data file a little over one 64 MiB piece: with the signal already pending, the
    // copy stops after exactly one piece and says so; without it, all of the member comes.
    constexpr std::int64_t kPiece = std::int64_t{64} << 20;
    ScratchDir dir;
    {
        const UniqueFd make = openFile(dir / "data", O_WRONLY | O_CREAT | O_TRUNC);
        ASSERT_EQ(::ftruncate(make.get(), static_cast<off_t>(kPiece + 4096)), 0);
    }
    const UniqueFd data = openFile(dir / "data", O_RDONLY);
    const UniqueFd out = openFile(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(data && out);
    const auto emptied = [&] {
        EXPECT_EQ(::ftruncate(out.get(), 0), 0);
        EXPECT_EQ(::lseek(out.get(), 0, SEEK_SET), 0);
        return out.get();
    };
    MemberCopier copier;
    sigset_t interrupt;
    ::sigemptyset(&interrupt);
    ::sigaddset(&interrupt, SIGINT);
    {
        const HeldSignals held;
        const CopyOutcome all = copier.copy(data.get(), 0, kPiece + 10, emptied(), &held);
        EXPECT_FALSE(all.interrupted);
        EXPECT_EQ(all.copied, kPiece + 10);
        ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
        ASSERT_TRUE(held.pending());
        const CopyOutcome stopped = copier.copy(data.get(), 0, kPiece + 10, emptied(), &held);
        EXPECT_TRUE(stopped.interrupted);
        EXPECT_EQ(stopped.copied, kPiece);
        // A member that fits in one piece is not cut for the signal.
        const CopyOutcome small = copier.copy(data.get(), 0, 10, emptied(), &held);
        EXPECT_FALSE(small.interrupted);
        EXPECT_EQ(small.copied, 10);
        // Taken here, so that it does not end the test when held goes.
        const timespec noWait{0, 0};
        EXPECT_EQ(::sigtimedwait(&interrupt, nullptr, &noWait), SIGINT);
    }
    EXPECT_EQ(::ftruncate(out.get(), 0), 0);
}

}  // namespace
}  // namespace unbcl::test
