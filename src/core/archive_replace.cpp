// SPDX-License-Identifier: MIT
#include "unbcl/archive_replace.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "new_output_file.hpp"
#include "temporary_name.hpp"
#include "unbcl/commit_record.hpp"
#include "unbcl/held_signals.hpp"

namespace unbcl {

namespace {

// Only a writer holding the directory's lock makes hidden names of these kinds, and it removes
// them before letting go, so a name found by the next lock holder was left by a writer that died.
constexpr std::string_view kTemporaryPrefix = kReplaceTemporaryPrefix;
constexpr std::string_view kRecordTemporaryPrefix = ".bcl-record-";
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
    std::optional<NewOutputFile> file;
    // The names the commit record gives: where the new file waits, and where the previous one
    // goes when the file system cannot exchange two names.
    std::string newTemporary;
    std::string oldTemporary;
    FileIdentity newIdentity;
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
    if (::fchown(target.file->fd(), previous.st_uid, previous.st_gid) == 0) return;
    [[maybe_unused]] const int groupOnly = ::fchown(target.file->fd(), static_cast<uid_t>(-1), previous.st_gid);
}

// Opens the file that will hold the target's new contents, out of sight until commit.
int openNewFile(Target& target) {
    SysResult<NewOutputFile> file = NewOutputFile::begin(target.directory(), kTemporaryPrefix, O_RDWR);
    if (!file) return file.error();
    target.file = std::move(*file);
    if (!target.where.existing) return 0;
    keepOwnership(target);
    if (::fchmod(target.file->fd(), permissionBitsFor(target)) != 0) return errno;
    return 0;
}

std::optional<FileIdentity> existingIdentity(const Target& target) {
    if (!target.where.existing) return std::nullopt;
    return FileIdentity{target.where.existing->st_dev, target.where.existing->st_ino};
}

// A hidden name that nothing in the directory has: the commit record names it before it exists.
SysResult<std::string> unusedTemporaryName(int directory) {
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        SysResult<std::string> name = randomTemporaryName(kTemporaryPrefix);
        if (!name) return name;
        struct stat st {};
        if (::fstatat(directory, name->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return name;
    }
    return SysResult<std::string>::failure(EEXIST);
}

// Chooses the record's names for a target and learns the new file's identity.
int prepareNames(Target& t) {
    struct stat st {};
    if (::fstat(t.file->fd(), &st) != 0) return errno;
    t.newIdentity = {st.st_dev, st.st_ino};
    if (!t.file->unnamed()) {
        t.newTemporary = t.file->temporaryName();
    } else if (t.where.existing) {
        SysResult<std::string> name = unusedTemporaryName(t.directory());
        if (!name) return name.error();
        t.newTemporary = std::move(*name);
    }
    if (t.where.existing) {
        SysResult<std::string> name = unusedTemporaryName(t.directory());
        if (!name) return name.error();
        // Two fresh names drawn apart are still apart unless the random letters repeat.
        if (*name == t.newTemporary) return EEXIST;
        t.oldTemporary = std::move(*name);
    }
    return 0;
}

SysResult<CommitRecord> recordFor(const std::vector<Target>& targets) {
    CommitRecord record;
    for (const Target& t : targets) {
        SysResult<std::string> directory = absolutePathOfDirectory(t.directory());
        if (!directory) return SysResult<CommitRecord>::failure(directory.error());
        record.targets.push_back(
            {std::move(*directory), t.where.name, t.newTemporary, t.oldTemporary, t.newIdentity, existingIdentity(t)});
    }
    return record;
}

// Where the file system has no exchange of two names, the previous file steps aside first. The
// name is empty in between, which readers never see (they wait on the displaced file's lock),
// and which the commit record lets the next lock holder undo.
int placeByRenames(Target& t) {
    const int dir = t.directory();
    const char* name = t.where.name.c_str();
    if (::renameat2(dir, name, dir, t.oldTemporary.c_str(), RENAME_NOREPLACE) != 0) {
        // The hidden name is fresh and the directory is locked: a plain rename replaces nothing.
        if (errno != EINVAL || ::renameat(dir, name, dir, t.oldTemporary.c_str()) != 0) return errno;
    }
    if (::renameat(dir, t.newTemporary.c_str(), dir, name) != 0) return errno;
    return 0;
}

int place(Target& t) {
    int result = 0;
    if (t.where.existing) {
        const int dir = t.directory();
        // Afterwards the new file's hidden name holds the previous file.
        if (::renameat2(dir, t.newTemporary.c_str(), dir, t.where.name.c_str(), RENAME_EXCHANGE) == 0) {
            result = 0;
        } else {
            result = errno == EINVAL ? placeByRenames(t) : errno;
        }
        // From here on the commit record, not the file's own object, says what the names hold.
        if (result == 0) t.file->forgetTemporaryName();
    } else {
        result = t.file->place(t.where.name, false);
    }
    if (result != 0) return result;
    t.placed = true;
    return 0;
}

// The previous file, under a hidden name since it was displaced, held open by an O_PATH
// descriptor: freeing a large file's blocks takes milliseconds, and that should happen at the
// last close, after every hidden name is gone.
struct PreviousFile {
    UniqueFd held;
    std::string hiddenName;  // where it still is, when it could not be removed
    int error = 0;
};

PreviousFile removePreviousFile(const Target& t) {
    const std::optional<FileIdentity> previous = existingIdentity(t);
    if (!previous) return {};
    for (const std::string* name : {&t.newTemporary, &t.oldTemporary}) {
        if (name->empty()) continue;
        UniqueFd held(::openat(t.directory(), name->c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW));
        if (!held) {
            if (errno == ENOENT) continue;
            return {{}, *name, errno};
        }
        struct stat st {};
        if (::fstat(held.get(), &st) != 0) return {{}, *name, errno};
        if (!(FileIdentity{st.st_dev, st.st_ino} == *previous)) continue;
        if (::unlinkat(t.directory(), name->c_str(), 0) != 0) return {{}, *name, errno};
        return {std::move(held), {}, 0};
    }
    return {};
}

// Readers take this lock shared on the index while they open an archive's files; holding it on
// the index about to be displaced keeps them from opening one of the old files and one of the
// new. Only the index: a reader that holds it opens the data file next, which must not wait.
UniqueFd holdOffReaders(const Target& index) {
    if (!index.where.existing) return {};
    UniqueFd fd(::openat(index.directory(), index.where.name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    // An index this writer may not read is one no reader of its kind opens either.
    if (!fd) return {};
    while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    return fd;
}

bool isLockedAlready(const std::vector<FileIdentity>& locked, const FileIdentity& directory) {
    return std::find(locked.begin(), locked.end(), directory) != locked.end();
}

// Takes the writers' lock of a directory a record names that this writer has not locked.
// Only the archive's own directories are locked: a directory no archive file is in is refused by
// the recovery, and waiting on its lock could hold the run for as long as its owner likes.
std::optional<std::string> lockNamedDirectory(const std::string& path, const std::vector<RecoverableFile>& archiveFiles,
                                              std::vector<FileIdentity>& locked, std::vector<UniqueFd>& locks) {
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!dir || ::fstat(dir.get(), &st) != 0) return path + ": " + systemReason(errno);
    const FileIdentity identity{st.st_dev, st.st_ino};
    if (isLockedAlready(locked, identity)) return std::nullopt;
    if (std::none_of(archiveFiles.begin(), archiveFiles.end(),
                     [&](const RecoverableFile& f) { return f.directory == identity; })) {
        return std::nullopt;
    }
    if (const int err = lockExclusively(dir.get()); err != 0) return path + ": " + systemReason(err);
    locked.push_back(identity);
    locks.push_back(std::move(dir));
    return std::nullopt;
}

struct RecoveryResult {
    Problems problems;
    bool failed = false;
};

// Under the lock of the record's directory: finishes or undoes the commit a record describes,
// locking the other directories it names first.
RecoveryResult recoverUnderLock(int recordDirectory, const std::string& recordName, const std::string& subject,
                                const std::vector<RecoverableFile>& archiveFiles, std::vector<FileIdentity>& locked,
                                std::vector<UniqueFd>& locks) {
    RecoveryResult result;
    if (!commitRecordExists(recordDirectory, recordName)) return result;
    for (const std::string& path : directoriesNamedBy(recordDirectory, recordName)) {
        if (const auto failure = lockNamedDirectory(path, archiveFiles, locked, locks)) {
            result.failed = true;
            result.problems.add(makeProblem(ProblemKind::CannotLock, subject,
                                            "cannot finish an interrupted commit: cannot lock " + *failure));
            return result;
        }
    }
    Recovery recovery = recoverCommit(recordDirectory, recordName, subject, archiveFiles);
    result.failed = recovery.outcome == RecoveryOutcome::Failed;
    result.problems = std::move(recovery.problems);
    return result;
}

const Target& recordTarget(const std::vector<Target>& targets) { return targets.back(); }

RecoverableFile recoverableFile(const ResolvedTarget& where) { return {where.directoryIdentity, where.name}; }

// The files a recovery of this replacement's record may touch: its own targets.
std::vector<RecoverableFile> recoverableFiles(const std::vector<Target>& targets,
                                              const std::vector<ResolvedTarget>& lockedOnly) {
    std::vector<RecoverableFile> files;
    for (const Target& t : targets) files.push_back(recoverableFile(t.where));
    for (const ResolvedTarget& where : lockedOnly) files.push_back(recoverableFile(where));
    return files;
}

}  // namespace

FileSetReplacement::FileSetReplacement() = default;
FileSetReplacement::FileSetReplacement(FileSetReplacement&&) noexcept = default;
FileSetReplacement& FileSetReplacement::operator=(FileSetReplacement&&) noexcept = default;
FileSetReplacement::~FileSetReplacement() = default;

int FileSetReplacement::fd(std::size_t target) const { return targets_.at(target).file->fd(); }

std::optional<FileIdentity> FileSetReplacement::existing(std::size_t target) const {
    return existingIdentity(targets_.at(target));
}

ReplacementStart FileSetReplacement::start(std::vector<ResolvedTarget> targets) {
    return start(std::move(targets), {});
}

ReplacementStart FileSetReplacement::start(std::vector<ResolvedTarget> targets,
                                           std::vector<ResolvedTarget> lockedOnly) {
    FileSetReplacement replacement;
    for (ResolvedTarget& where : targets) replacement.targets_.push_back(Target{std::move(where), {}, {}, {}, {}, false});
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
    for (const ResolvedTarget* where : byDirectory) {
        if (isLockedAlready(replacement.lockedDirectories_, where->directoryIdentity)) continue;
        UniqueFd lock(::dup(where->directory.get()));
        if (!lock) return ReplaceFailure{where->path, "cannot lock its directory: " + systemReason(errno)};
        if (const int err = lockExclusively(lock.get()); err != 0) {
            return ReplaceFailure{where->path, "cannot lock its directory: " + systemReason(err)};
        }
        replacement.locks_.push_back(std::move(lock));
        replacement.lockedDirectories_.push_back(where->directoryIdentity);
    }

    // A commit cut short is dealt with before anything else, while its hidden files still stand.
    const Target& last = recordTarget(replacement.targets_);
    RecoveryResult recovered = recoverUnderLock(last.directory(), commitRecordName(last.where.name), last.where.path,
                                                recoverableFiles(replacement.targets_, replacement.lockedOnly_),
                                                replacement.lockedDirectories_, replacement.locks_);
    if (recovered.failed) {
        const Problem& why = *(recovered.problems.end() - 1);
        return ReplaceFailure{last.where.path, why.reason};
    }
    replacement.notes_ = std::move(recovered.problems);
    for (const ResolvedTarget* where : byDirectory) {
        removeAbandonedTemporaries(where->directory.get(), kTemporaryPrefix);
        removeAbandonedTemporaries(where->directory.get(), kRecordTemporaryPrefix);
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
    // From the first rename to the record's removal, a Ctrl-C or a kill must not stop the work
    // halfway. Such signals wait until the archive is whole again, old or new; SIGKILL and a
    // power loss, which cannot be held, leave the record for the next lock holder.
    const HeldSignals held;
    for (Target& t : targets_) {
        if (::fsync(t.file->fd()) != 0) return t.failure("cannot write", systemReason(errno));
    }
    // A signal that came before anything is put in place, during the syncs of large files say,
    // still finds the previous archive whole: it is kept, and once held goes the signal ends
    // the process as it would have, so that an exit by signal always means "nothing changed"
    // up to here.
    if (held.pending()) return targets_.front().failure("interrupted", "nothing was changed");
    for (Target& t : targets_) {
        if (const int err = prepareNames(t); err != 0) return t.failure("cannot replace", systemReason(err));
    }
    const SysResult<CommitRecord> record = recordFor(targets_);
    if (!record) return targets_.front().failure("cannot replace", systemReason(record.error()));
    const Target& beside = recordTarget(targets_);
    const std::string recordName = commitRecordName(beside.where.name);
    const UniqueFd readersHeldOff = holdOffReaders(beside);
    if (const int err = writeCommitRecord(beside.directory(), recordName, *record); err != 0) {
        return beside.failure("cannot replace", "cannot write its commit record: " + systemReason(err));
    }
    // Whatever fails from here is undone as the next lock holder would undo it, from the record.
    const auto undo = [&](ReplaceFailure failure) {
        Recovery undone = recoverCommit(beside.directory(), recordName, beside.where.path,
                                        recoverableFiles(targets_, lockedOnly_));
        if (undone.outcome == RecoveryOutcome::Failed) {
            for (const Problem& p : undone.problems) failure.reason += "; " + p.reason;
        }
        return failure;
    };
    for (Target& t : targets_) {
        if (t.file->unnamed() && !t.newTemporary.empty()) {
            if (const int err = t.file->nameAs(t.newTemporary); err != 0) {
                return undo(t.failure("cannot replace", systemReason(err)));
            }
        }
    }
    // Every name is made before any target changes, so that the targets change within a few
    // renames of each other, and a failure here changes nothing.
    for (Target& t : targets_) {
        if (const int err = place(t); err != 0) return undo(t.failure("cannot replace", systemReason(err)));
    }
    std::vector<UniqueFd> previousFiles;
    for (const Target& t : targets_) {
        PreviousFile previous = removePreviousFile(t);
        if (previous.error != 0) {
            // The record stays: the next lock holder finds every new file in place and removes
            // the old copy, which meanwhile hides beside the archive.
            ReplaceFailure failure = t.failure("replaced, but its previous copy, now " + previous.hiddenName +
                                                   ", cannot be removed",
                                               systemReason(previous.error));
            failure.inPlace = true;
            return failure;
        }
        previousFiles.push_back(std::move(previous.held));
    }
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        const Target& t = targets_[i];
        const auto sharesEarlierDirectory = [&](const Target& earlier) {
            return earlier.where.directoryIdentity == t.where.directoryIdentity;
        };
        if (std::any_of(targets_.begin(), targets_.begin() + static_cast<std::ptrdiff_t>(i), sharesEarlierDirectory)) {
            continue;
        }
        if (::fsync(t.directory()) != 0) {
            // The record stays: the next lock holder finds every new file in place and finishes.
            ReplaceFailure failure = t.failure("replaced, but its directory cannot be synced", systemReason(errno));
            failure.inPlace = true;
            return failure;
        }
    }
    if (::unlinkat(beside.directory(), recordName.c_str(), 0) != 0 || ::fsync(beside.directory()) != 0) {
        ReplaceFailure failure = beside.failure("replaced, but its commit record cannot be removed", systemReason(errno));
        failure.inPlace = true;
        return failure;
    }
    for (const Target& t : targets_) t.file->unlock();
    previousFiles.clear();
    return std::nullopt;
}

bool interruptedCommitAt(const ResolvedTarget& index) {
    return commitRecordExists(index.directory.get(), commitRecordName(index.name));
}

Problems recoverInterruptedCommit(const ResolvedTarget& index, const ResolvedTarget* data) {
    std::vector<FileIdentity> locked;
    std::vector<UniqueFd> locks;
    UniqueFd lock(::dup(index.directory.get()));
    if (!lock) return {};
    Problems problems;
    if (const int err = lockExclusively(lock.get()); err != 0) {
        problems.add(makeProblem(ProblemKind::CannotLock, index.path,
                                 "cannot finish an interrupted commit: cannot lock its directory: " + systemReason(err),
                                 err));
        return problems;
    }
    locked.push_back(index.directoryIdentity);
    locks.push_back(std::move(lock));
    std::vector<RecoverableFile> archiveFiles{recoverableFile(index)};
    if (data) archiveFiles.push_back(recoverableFile(*data));
    return recoverUnderLock(index.directory.get(), commitRecordName(index.name), index.path, archiveFiles, locked,
                            locks)
        .problems;
}

}  // namespace unbcl
