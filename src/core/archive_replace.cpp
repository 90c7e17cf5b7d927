// SPDX-License-Identifier: MIT
#include "unbcl/archive_replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "temporary_name.hpp"
#include "unbcl/held_signals.hpp"

namespace unbcl {

namespace {

// Every temporary name starts so. Only a writer holding the directory's lock makes such names,
// and it removes them before letting go, so a name found by the next lock holder was left by a
// writer that died: SIGKILL in the few system calls of a commit, or one without anonymous files.
constexpr std::string_view kTemporaryPrefix = ".bcl-replace-";
constexpr int kMaxSymbolicLinks = 40;  // as the kernel allows in one path

struct PathEnd {
    std::string directory;
    std::string name;
};

// The directory part and the last component of a path; nothing when the path names a
// directory by its form ("dir/", ".", "..").
std::optional<PathEnd> splitLastComponent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    PathEnd end;
    if (slash == std::string::npos) {
        end = {".", path};
    } else {
        end = {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
    }
    if (end.name.empty() || end.name == "." || end.name == "..") return std::nullopt;
    return end;
}

SysResult<std::string> readLinkAt(int directory, const std::string& name) {
    std::string text(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(directory, name.c_str(), text.data(), text.size());
        if (n < 0) return SysResult<std::string>::failure(errno);
        if (static_cast<std::size_t>(n) < text.size()) {
            text.resize(static_cast<std::size_t>(n));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

void removeLeftoverTemporaries(int directory) {
    const int own = ::dup(directory);
    if (own < 0) return;
    const std::unique_ptr<DIR, DirCloser> listing(::fdopendir(own));
    if (!listing) {
        ::close(own);
        return;
    }
    // A leftover that cannot be removed is no reason to refuse the new archive.
    while (const dirent* entry = ::readdir(listing.get())) {
        if (isTemporaryName(entry->d_name, kTemporaryPrefix)) {
            (void)::unlinkat(directory, entry->d_name, 0);
        }
    }
}

int lockExclusively(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Renaming over a file in a sticky directory needs its owner, the directory's owner or root.
bool stickyDirectoryForbids(const struct stat& directory, const struct stat& file) {
    const uid_t me = ::geteuid();
    return (directory.st_mode & S_ISVTX) != 0 && me != 0 && file.st_uid != me && directory.st_uid != me;
}

// Why the file at the target cannot be replaced, or nothing when it can.
std::optional<std::string> replaceProblem(const ResolvedTarget& target) {
    if (!target.existing) return std::nullopt;
    if (S_ISDIR(target.existing->st_mode)) return systemReason(EISDIR);
    if (!S_ISREG(target.existing->st_mode)) return "not a regular file (" + describeFileType(target.existing->st_mode) + ")";
    struct stat directory {};
    if (::fstat(target.directory.get(), &directory) != 0) return systemReason(errno);
    if (stickyDirectoryForbids(directory, *target.existing)) {
        return systemReason(EPERM) + " (another user's file in a sticky directory)";
    }
    return std::nullopt;
}

}  // namespace

SysResult<ResolvedTarget> resolveTarget(const std::string& path) {
    UniqueFd relativeTo;  // where a relative link text starts; none: the current directory
    std::string current = path;
    for (int links = 0;; ++links) {
        if (current.empty()) return SysResult<ResolvedTarget>::failure(ENOENT);
        const std::optional<PathEnd> end = splitLastComponent(current);
        if (!end) return SysResult<ResolvedTarget>::failure(EISDIR);
        UniqueFd directory(::openat(relativeTo ? relativeTo.get() : AT_FDCWD, end->directory.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory) return SysResult<ResolvedTarget>::failure(errno);
        struct stat st {};
        const bool exists = ::fstatat(directory.get(), end->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) return SysResult<ResolvedTarget>::failure(errno);
        if (!exists || !S_ISLNK(st.st_mode)) {
            struct stat dirStat {};
            if (::fstat(directory.get(), &dirStat) != 0) return SysResult<ResolvedTarget>::failure(errno);
            std::optional<struct stat> existing;
            if (exists) existing = st;
            return ResolvedTarget{path, std::move(directory), FileIdentity{dirStat.st_dev, dirStat.st_ino},
                                  end->name, existing};
        }
        if (links == kMaxSymbolicLinks) return SysResult<ResolvedTarget>::failure(ELOOP);
        SysResult<std::string> text = readLinkAt(directory.get(), end->name);
        if (!text) return SysResult<ResolvedTarget>::failure(text.error());
        current = std::move(*text);
        relativeTo = std::move(directory);
    }
}

bool sameLocation(const ResolvedTarget& a, const ResolvedTarget& b) {
    if (a.directoryIdentity == b.directoryIdentity && a.name == b.name) return true;
    // Two hard links of one file are one file too.
    return a.existing && b.existing && a.existing->st_dev == b.existing->st_dev &&
           a.existing->st_ino == b.existing->st_ino;
}

struct FileSetReplacement::Target {
    ResolvedTarget where;
    UniqueFd file;
    // The new file's name until it is placed; after an exchange, the previous file's.
    TemporaryName temporary;
    bool anonymous = true;
    bool placed = false;

    int directory() const { return where.directory.get(); }
    ReplaceFailure failure(const std::string& what, const std::string& reason) const {
        return {where.path, what + ": " + reason};
    }
};

namespace {

using Target = FileSetReplacement::Target;

mode_t permissionBitsFor(const Target& target) {
    // Set-id bits are not carried over: an archive is never run.
    return target.where.existing ? (target.where.existing->st_mode & 0777) : 0;
}

// The previous file's owner and group go to the new one where this process may give them:
// root always, other users a group of their own. Where it may not, the new file is the
// writer's, as any file a rename puts in place is; that is no reason to fail.
void keepOwnership(const Target& target) {
    const struct stat& previous = *target.where.existing;
    if (previous.st_uid == ::geteuid() && previous.st_gid == ::getegid()) return;
    if (::fchown(target.file.get(), previous.st_uid, previous.st_gid) == 0) return;
    [[maybe_unused]] const int groupOnly = ::fchown(target.file.get(), static_cast<uid_t>(-1), previous.st_gid);
}

// Opens the file that will hold the target's new contents. An anonymous file has no name until
// commit, so a process killed before then leaves nothing; where the file system has none, a
// named one is used and the next writer of that directory removes it if this one dies.
int openNewFile(Target& target) {
    int fd = ::openat(target.directory(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno != EOPNOTSUPP && errno != EISDIR) return errno;
        target.anonymous = false;
        const SysResult<std::string> name = withFreshTemporaryName(kTemporaryPrefix, [&](const std::string& candidate) {
            fd = ::openat(target.directory(), candidate.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
            return fd < 0 ? -1 : 0;
        });
        if (!name) return name.error();
        target.temporary = TemporaryName(target.directory(), *name);
    }
    target.file = UniqueFd(fd);
    if (!target.where.existing) return 0;
    keepOwnership(target);
    if (::fchmod(target.file.get(), permissionBitsFor(target)) != 0) return errno;
    return 0;
}

// An existing target is replaced by exchange, so the new file needs a name beside it first.
int nameBeforeExchange(Target& target) {
    if (!target.where.existing || !target.temporary.empty()) return 0;
    const std::string source = procPathOf(target.file.get());
    const SysResult<std::string> name = withFreshTemporaryName(kTemporaryPrefix, [&](const std::string& candidate) {
        return ::linkat(AT_FDCWD, source.c_str(), target.directory(), candidate.c_str(), AT_SYMLINK_FOLLOW);
    });
    if (!name) return name.error();
    target.temporary = TemporaryName(target.directory(), *name);
    return 0;
}

int place(Target& target) {
    const int dir = target.directory();
    const char* name = target.where.name.c_str();
    int result = 0;
    if (target.where.existing) {
        // Afterwards the temporary name holds the previous file, ready to be put back.
        result = ::renameat2(dir, target.temporary.name().c_str(), dir, name, RENAME_EXCHANGE);
    } else if (target.anonymous) {
        result = ::linkat(AT_FDCWD, procPathOf(target.file.get()).c_str(), dir, name, AT_SYMLINK_FOLLOW);
    } else {
        result = ::renameat2(dir, target.temporary.name().c_str(), dir, name, RENAME_NOREPLACE);
        if (result == 0) {
            target.temporary.release();
        } else if (errno == EINVAL) {
            // Network and many FUSE file systems cannot rename without replacing; a hard link
            // cannot replace, and commit removes the temporary name with the others.
            result = ::linkat(dir, target.temporary.name().c_str(), dir, name, 0);
        }
    }
    if (result != 0) return errno;
    target.placed = true;
    return 0;
}

// Puts the previous state back; returns a report when that too fails.
std::optional<std::string> unplace(Target& target) {
    const int dir = target.directory();
    const char* name = target.where.name.c_str();
    if (target.where.existing) {
        if (::renameat2(dir, target.temporary.name().c_str(), dir, name, RENAME_EXCHANGE) == 0) return std::nullopt;
        const int err = errno;
        // The previous file must outlive the next writer, which removes temporary names.
        std::string kept = target.where.name + ".previous";
        if (::renameat2(dir, target.temporary.name().c_str(), dir, kept.c_str(), RENAME_NOREPLACE) != 0) {
            kept = target.temporary.name();
        }
        target.temporary.release();
        return target.where.path + " could not be put back (" + systemReason(err) + "); its previous file is " +
               kept + " in the same directory";
    }
    if (::unlinkat(dir, name, 0) == 0) return std::nullopt;
    return target.where.path + " could not be removed again (" + systemReason(errno) + ")";
}

}  // namespace

FileSetReplacement::FileSetReplacement() = default;
FileSetReplacement::FileSetReplacement(FileSetReplacement&&) noexcept = default;
FileSetReplacement& FileSetReplacement::operator=(FileSetReplacement&&) noexcept = default;
FileSetReplacement::~FileSetReplacement() = default;

int FileSetReplacement::fd(std::size_t target) const { return targets_.at(target).file.get(); }

std::optional<FileIdentity> FileSetReplacement::existing(std::size_t target) const {
    const ResolvedTarget& where = targets_.at(target).where;
    if (!where.existing) return std::nullopt;
    return FileIdentity{where.existing->st_dev, where.existing->st_ino};
}

ReplacementStart FileSetReplacement::start(std::vector<ResolvedTarget> targets) {
    return start(std::move(targets), {});
}

ReplacementStart FileSetReplacement::start(std::vector<ResolvedTarget> targets,
                                           std::vector<ResolvedTarget> lockedOnly) {
    FileSetReplacement replacement;
    for (ResolvedTarget& where : targets) replacement.targets_.push_back(Target{std::move(where), {}, {}, true, false});
    replacement.lockedOnly_ = std::move(lockedOnly);

    // One lock per directory, taken in one order by every writer, so two writers never each
    // hold what the other waits for. A second flock on another descriptor of a directory this
    // process already locked would wait for itself.
    std::vector<const ResolvedTarget*> byDirectory;
    for (const Target& t : replacement.targets_) byDirectory.push_back(&t.where);
    for (const ResolvedTarget& where : replacement.lockedOnly_) byDirectory.push_back(&where);
    std::sort(byDirectory.begin(), byDirectory.end(), [](const ResolvedTarget* a, const ResolvedTarget* b) {
        const auto key = [](const ResolvedTarget* t) {
            return std::pair{t->directoryIdentity.device, t->directoryIdentity.inode};
        };
        return key(a) < key(b);
    });
    const FileIdentity* lastLocked = nullptr;
    for (const ResolvedTarget* where : byDirectory) {
        if (lastLocked && *lastLocked == where->directoryIdentity) continue;
        UniqueFd lock(::dup(where->directory.get()));
        if (!lock) return ReplaceFailure{where->path, "cannot lock its directory: " + systemReason(errno)};
        if (const int err = lockExclusively(lock.get()); err != 0) {
            return ReplaceFailure{where->path, "cannot lock its directory: " + systemReason(err)};
        }
        removeLeftoverTemporaries(where->directory.get());
        replacement.locks_.push_back(std::move(lock));
        lastLocked = &where->directoryIdentity;
    }

    for (Target& t : replacement.targets_) {
        // What is there now, seen under the lock: another writer may have changed it meanwhile.
        struct stat st {};
        if (::fstatat(t.directory(), t.where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            t.where.existing = st;
        } else if (errno == ENOENT) {
            t.where.existing.reset();
        } else {
            return t.failure("cannot replace", systemReason(errno));
        }
        if (const auto problem = replaceProblem(t.where)) return t.failure("cannot replace", *problem);
    }
    for (Target& t : replacement.targets_) {
        if (const int err = openNewFile(t); err != 0) return t.failure("cannot write", systemReason(err));
    }
    return replacement;
}

std::optional<ReplaceFailure> FileSetReplacement::commit() {
    // From the first rename to the last temporary name removed, a Ctrl-C or a kill must not
    // stop the work halfway: that would leave a new file beside an old one. Such signals wait
    // until the archive is whole again, old or new; only SIGKILL cannot be held.
    const HeldSignals held;
    for (Target& t : targets_) {
        if (::fsync(t.file.get()) != 0) return t.failure("cannot write", systemReason(errno));
    }
    // A signal that came before anything is put in place, during the syncs of large files say,
    // still finds the previous archive whole: it is kept, and once held goes the signal ends
    // the process as it would have, so that an exit by signal always means "nothing changed"
    // up to here.
    if (held.pending()) {
        for (Target& t : targets_) t.temporary.remove();
        return targets_.front().failure("interrupted", "nothing was changed");
    }
    // Every name is made before any target changes, so that a reader sees the targets change
    // within two renames of each other, and a failure here changes nothing.
    //
    // What SIGKILL can still leave: from the first linkat below to the removal of the displaced
    // files, an existing target's new file, and after the exchange its previous file, has a
    // temporary name; that is two system calls per target plus the removals, a few
    // microseconds with no data written (the files were synced above). The next writer of the
    // directory removes such names when it takes the lock. Between the first exchange and the
    // last, the targets are a mix of new and previous files, and stay so if killed there.
    for (Target& t : targets_) {
        if (const int err = nameBeforeExchange(t); err != 0) return t.failure("cannot replace", systemReason(err));
    }
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        const int err = place(targets_[i]);
        if (err == 0) continue;
        std::string reason = systemReason(err);
        // EINVAL alone would not tell a user that it is the file system that is short of
        // something: network file systems, ext2 and many FUSE ones cannot exchange two names.
        if (err == EINVAL && targets_[i].where.existing) reason += " (this file system cannot exchange two files)";
        ReplaceFailure failure = targets_[i].failure("cannot replace", reason);
        for (std::size_t j = i; j-- > 0;) {
            if (const auto problem = unplace(targets_[j])) failure.reason += "; " + *problem;
        }
        return failure;
    }
    // The previous files, under their temporary names since the exchanges, go now. Each is held
    // open meanwhile: freeing a large file's blocks takes milliseconds, and that happens at the
    // last close, after every temporary name is gone, not while one still stands.
    std::vector<UniqueFd> previousFiles;
    for (Target& t : targets_) {
        if (!t.temporary.empty()) {
            previousFiles.emplace_back(::openat(t.directory(), t.temporary.name().c_str(),
                                                O_PATH | O_CLOEXEC | O_NOFOLLOW));
        }
    }
    for (Target& t : targets_) t.temporary.remove();
    previousFiles.clear();
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        const Target& t = targets_[i];
        const auto sharesEarlierDirectory = [&](const Target& earlier) {
            return earlier.where.directoryIdentity == t.where.directoryIdentity;
        };
        if (std::any_of(targets_.begin(), targets_.begin() + static_cast<std::ptrdiff_t>(i), sharesEarlierDirectory)) {
            continue;
        }
        if (::fsync(t.directory()) != 0) {
            ReplaceFailure failure = t.failure("replaced, but its directory cannot be synced", systemReason(errno));
            failure.inPlace = true;
            return failure;
        }
    }
    return std::nullopt;
}

}  // namespace unbcl
