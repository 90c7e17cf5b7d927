// SPDX-License-Identifier: MIT
#include "unbcl/file_io.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace unbcl {

void UniqueFd::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int UniqueFd::close() {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0) return 0;
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    return ::close(fd) == 0 ? 0 : errno;
}

namespace {

SysResult<InputFile> openForReading(const std::string& path, int extraFlags) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | extraFlags));
    if (!fd) return SysResult<InputFile>::failure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return SysResult<InputFile>::failure(errno);
    if (S_ISDIR(st.st_mode)) return SysResult<InputFile>::failure(EISDIR);
    return InputFile{std::move(fd), FileIdentity{st.st_dev, st.st_ino}, st.st_mode};
}

}  // namespace

SysResult<InputFile> openInputFile(const std::string& path) { return openForReading(path, 0); }

SysResult<InputFile> openDataFile(const std::string& path) {
    // Members are read at their offsets, which no FIFO can give; waiting for a writer to open
    // one would only hold the run. Reads wait as usual once the flag is cleared.
    SysResult<InputFile> file = openForReading(path, O_NONBLOCK);
    if (!file) return file;
    const int flags = ::fcntl(file->fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file->fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return SysResult<InputFile>::failure(errno);
    }
    return file;
}

SysResult<std::int64_t> fileSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return SysResult<std::int64_t>::failure(errno);
    if (!S_ISBLK(st.st_mode)) return static_cast<std::int64_t>(st.st_size);
    // A block device's status gives no size; the device itself does.
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return SysResult<std::int64_t>::failure(errno);
    return static_cast<std::int64_t>(bytes);
}

int openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is the one that is missing, since those below are open.
        const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened < 0) return errno;
        if (opened != fd) {
            ::close(opened);
            return EBADF;
        }
    }
    return 0;
}

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string describeFileType(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a regular file";
}

std::string notRegularFile(mode_t mode) { return "refused: not a regular file (" + describeFileType(mode) + ")"; }

std::string systemReason(int errnum) { return std::strerror(errnum); }

}  // namespace unbcl
