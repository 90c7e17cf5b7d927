// SPDX-License-Identifier: MIT
#include "new_output_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace unbcl {

namespace {

constexpr int kNewFileFlags = O_NOCTTY | O_CLOEXEC;

// The lock says "a live writer has this name"; it cannot fail on a file just made but for
// lack of memory, and then the name is at worst left to its writer's own removal.
void markInUse(int fd) { (void)::flock(fd, LOCK_EX | LOCK_NB); }

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

SysResult<NewOutputFile> NewOutputFile::begin(int parentFd, std::string_view prefix, int access) {
    UniqueFd file(::openat(parentFd, ".", O_TMPFILE | access | kNewFileFlags, 0666));
    if (file) return NewOutputFile(parentFd, std::move(file), {}, prefix);
    if (errno != EOPNOTSUPP && errno != EISDIR) return SysResult<NewOutputFile>::failure(errno);
    // FAT, network and FUSE file systems have no unnamed files: a hidden name stands in, so a
    // write that fails still leaves nothing, and only a process killed outright leaves it.
    const SysResult<std::string> name = withFreshTemporaryName(prefix, [&](const std::string& candidate) {
        file = UniqueFd(::openat(parentFd, candidate.c_str(), O_CREAT | O_EXCL | access | kNewFileFlags, 0666));
        return file ? 0 : -1;
    });
    if (!name) return SysResult<NewOutputFile>::failure(name.error());
    markInUse(file.get());
    return NewOutputFile(parentFd, std::move(file), TemporaryName(parentFd, *name), prefix);
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

int NewOutputFile::nameAs(const std::string& hiddenName) {
    if (!temporary_.empty()) return EEXIST;
    // Locked before it has the name, so that no sweep ever finds it named and unlocked.
    markInUse(file_.get());
    if (const int err = linkUnnamed(hiddenName); err != 0) return err;
    temporary_ = TemporaryName(parentFd_, hiddenName);
    return 0;
}

int NewOutputFile::place(const std::string& base, bool replace) {
    if (temporary_.empty()) {
        if (!replace) return linkUnnamed(base);
        // rename(2) is what replaces a name in one step, and it needs a name to move.
        const SysResult<std::string> name = withFreshTemporaryName(
            prefix_, [&](const std::string& candidate) { return nameAs(candidate) == 0 ? 0 : -1; });
        if (!name) return name.error();
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

void NewOutputFile::unlock() const { (void)::flock(file_.get(), LOCK_UN); }

void removeAbandonedTemporaries(int directoryFd, std::string_view prefix, std::chrono::seconds minimumAge) {
    timespec now {};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    const int own = ::dup(directoryFd);
    if (own < 0) return;
    const std::unique_ptr<DIR, DirCloser> listing(::fdopendir(own));
    if (!listing) {
        ::close(own);
        return;
    }
    // The copy shares its offset with the caller's descriptor, which an earlier listing of the
    // directory may have left at the end.
    ::rewinddir(listing.get());
    // A leftover that cannot be removed is no reason to stop the work at hand.
    while (const dirent* entry = ::readdir(listing.get())) {
        if (!isTemporaryName(entry->d_name, prefix)) continue;
        UniqueFd file(::openat(directoryFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {};
        struct stat named {};
        if (!file || ::fstat(file.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
        if (held.st_ctim.tv_sec > now.tv_sec - minimumAge.count()) continue;
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) continue;
        // Only the file that was locked goes, not one that took its name meanwhile.
        if (::fstatat(directoryFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == held.st_ino &&
            named.st_dev == held.st_dev) {
            (void)::unlinkat(directoryFd, entry->d_name, 0);
        }
    }
}

}  // namespace unbcl
