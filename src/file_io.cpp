#include "file_io.hpp"

#include <fcntl.h>
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

std::optional<InputFile> openInputFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::nullopt;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return std::nullopt;
    }
    return InputFile{std::move(fd), FileIdentity{st.st_dev, st.st_ino}};
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

std::string systemReason(int errnum) { return std::strerror(errnum); }

}  // namespace unbcl
