// SPDX-License-Identifier: MIT
// Small POSIX file helpers: an owning descriptor, results that carry errno, opening archive
// inputs, complete writes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace unbcl {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();
    // Closes now and returns 0 or the errno of a failed close: for output files a failed close
    // can be the first sign that written bytes were lost.
    int close();

private:
    int fd_ = -1;
};

// A value, or the errno of the system call that failed to produce it. The errno is captured
// where the failure happened, so no later call (a destructor's close, say) can change it.
template <typename T>
class SysResult {
public:
    SysResult(T value) : value_(std::move(value)) {}  // NOLINT: a value converts implicitly
    static SysResult failure(int errnum) { return SysResult(errnum, 0); }

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    int error() const { return error_; }

private:
    SysResult(int errnum, int /*tag*/) : error_(errnum) {}
    std::optional<T> value_;
    int error_ = 0;
};

// Which file a descriptor refers to, whatever name reached it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct InputFile {
    UniqueFd fd;
    FileIdentity identity;
    mode_t mode = 0;  // its type and permissions
};

// Opens an archive file read-only. A directory opens on Linux but cannot be read as an
// archive, so it is refused like a missing file (EISDIR).
SysResult<InputFile> openInputFile(const std::string& path);

// openInputFile for a data file, which is read at offsets: a FIFO is opened without waiting
// for a writer, since it could not serve the reads anyway.
SysResult<InputFile> openDataFile(const std::string& path);

// Whether members can be read at their offsets in a file of this mode: a regular file or a
// block device.
inline bool readableAtOffsets(mode_t mode) { return S_ISREG(mode) || S_ISBLK(mode); }

// The size of the file or block device open on fd.
SysResult<std::int64_t> fileSize(int fd);

// Makes sure descriptors 0, 1 and 2 are open, opening /dev/null onto any that is closed, so
// that no file the program opens later becomes "standard output" or "standard error".
// Returns 0 or the errno of the failure. Call it before anything else is opened.
int openStandardDescriptors();

// Writes all of bytes, retrying short writes and EINTR. Returns 0 or the errno of the failure.
int writeAll(int fd, std::string_view bytes);

// What kind of file a mode describes, as reports say it: "a FIFO", "a character device".
std::string describeFileType(mode_t mode);

// The report for something that is not a regular file where one is needed.
std::string notRegularFile(mode_t mode);

// The system's text for an errno value, as strerror gives it.
std::string systemReason(int errnum);

}  // namespace unbcl
