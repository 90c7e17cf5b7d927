// SPDX-License-Identifier: MIT
#include "new_output_file.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace unbcl {

namespace {

// Not the prefix an archive writer uses: it removes its own leftovers from the archive's
// directory and must never take a file an extraction is still writing.
constexpr std::string_view kExtractPrefix = ".bcl-extract-";
constexpr int kNewFileFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;

}  // namespace

SysResult<NewOutputFile> NewOutputFile::begin(int parentFd) {
    UniqueFd file(::openat(parentFd, ".", O_TMPFILE | kNewFileFlags, 0666));
    if (file) return NewOutputFile(parentFd, std::move(file), {});
    if (errno != EOPNOTSUPP && errno != EISDIR) return SysResult<NewOutputFile>::failure(errno);
    // FAT, network and FUSE file systems have no unnamed files: a hidden name stands in, so a
    // write that fails still leaves nothing, and only a process killed outright leaves it.
    const SysResult<std::string> name = withFreshTemporaryName(kExtractPrefix, [&](const std::string& candidate) {
        file = UniqueFd(::openat(parentFd, candidate.c_str(), O_CREAT | O_EXCL | kNewFileFlags, 0666));
        return file ? 0 : -1;
    });
    if (!name) return SysResult<NewOutputFile>::failure(name.error());
    return NewOutputFile(parentFd, std::move(file), TemporaryName(parentFd, *name));
}

int NewOutputFile::linkUnnamed(const std::string& name) const {
    if (::linkat(file_.get(), "", parentFd_, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    // Linking a descriptor directly needs a privilege on older kernels; the /proc path does not.
    if (errno != ENOENT && errno != EPERM) return errno;
    if (::linkat(AT_FDCWD, procPathOf(file_.get()).c_str(), parentFd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    return errno;
}

int NewOutputFile::place(const std::string& base, bool replace) {
    if (temporary_.empty()) {
        if (!replace) return linkUnnamed(base);
        // rename(2) is what replaces a name in one step, and it needs a name to move.
        const SysResult<std::string> name = withFreshTemporaryName(
            kExtractPrefix, [&](const std::string& candidate) { return linkUnnamed(candidate) == 0 ? 0 : -1; });
        if (!name) return name.error();
        temporary_ = TemporaryName(parentFd_, *name);
    }
    if (replace) {
        if (::renameat(parentFd_, temporary_.name().c_str(), parentFd_, base.c_str()) != 0) return errno;
    } else if (::renameat2(parentFd_, temporary_.name().c_str(), parentFd_, base.c_str(), RENAME_NOREPLACE) != 0) {
        // Network file systems cannot rename without replacing; a hard link cannot replace.
        if (errno != EINVAL) return errno;
        if (::linkat(parentFd_, temporary_.name().c_str(), parentFd_, base.c_str(), 0) != 0) return errno;
        temporary_.remove();
        return 0;
    }
    temporary_.release();
    return 0;
}

}  // namespace unbcl
