// SPDX-License-Identifier: MIT
// Writing a set of files (an archive's index and data file) that replace what was there all
// together or not at all, and that leave no stray file behind.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "unbcl/file_io.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// Where a path leads once symbolic links are followed: a directory, held open, and a name in
// it. Writing there replaces the file a link points to and leaves the link alone.
struct ResolvedTarget {
    std::string path;  // as given, for reports
    UniqueFd directory;
    FileIdentity directoryIdentity;
    std::string name;
    std::optional<struct stat> existing;  // the file there now, if any
};

SysResult<ResolvedTarget> resolveTarget(const std::string& path);

// Whether two targets are one file, however they were spelled.
bool sameLocation(const ResolvedTarget& a, const ResolvedTarget& b);

// What stopped a replacement: the target's path as given, and a reason ready to report
// ("cannot replace: Is a directory").
struct ReplaceFailure {
    std::string path;
    std::string reason;
    bool inPlace = false;  // every new file was already in place; only making that durable failed
};

class FileSetReplacement;
using ReplacementStart = std::variant<FileSetReplacement, ReplaceFailure>;

// New contents for every target, written into anonymous files in the targets' directories and
// given their names only by commit(). Writers of the same directories are serialized: each
// holds an exclusive flock on every directory it writes into, from start to the end of commit.
//
// The commit leaves a record beside the last target (an archive's index) from before its first
// rename to after its last, so that a commit cut short by a kill or a power loss is finished or
// undone by whoever takes the lock next. While it renames, it also holds an exclusive flock on
// each file it displaces: readers take that lock shared while they open the files, so none
// pairs a file of the old set with one of the new.
class FileSetReplacement {
public:
    // Takes the locks, checks that every target can be replaced, and opens one new file per
    // target, empty, with the permission bits the file it replaces has (new files: 0666 less
    // the umask). Nothing visible changes.
    static ReplacementStart start(std::vector<ResolvedTarget> targets);
    // The same, also holding the lock of lockedOnly's directories, whose files are changed in
    // place by the caller (an append to a data file) rather than replaced.
    static ReplacementStart start(std::vector<ResolvedTarget> targets, std::vector<ResolvedTarget> lockedOnly);

    FileSetReplacement(FileSetReplacement&&) noexcept;
    FileSetReplacement& operator=(FileSetReplacement&&) noexcept;
    ~FileSetReplacement();

    // What start found and did before anything else: an interrupted commit finished or undone.
    const Problems& notes() const { return notes_; }

    // Where target i's new contents are written.
    int fd(std::size_t target) const;
    // The file at target i as seen under the lock, if there is one.
    std::optional<FileIdentity> existing(std::size_t target) const;

    // Makes the new files durable and puts them in place, in target order. If any cannot be put
    // in place, those already placed get their previous files back. Afterwards the directories
    // are synced.
    std::optional<ReplaceFailure> commit();

    struct Target;

private:
    FileSetReplacement();
    std::vector<Target> targets_;
    std::vector<ResolvedTarget> lockedOnly_;
    std::vector<UniqueFd> locks_;
    std::vector<FileIdentity> lockedDirectories_;
    Problems notes_;
};

// For readers: finishes or undoes an interrupted commit of the archive whose index is at the
// target (and whose data file is at data, when that could be resolved), taking the writers' lock
// meanwhile (and so waiting for a live writer). Only those two files are touched. Nothing when no
// record stands there.
Problems recoverInterruptedCommit(const ResolvedTarget& index, const ResolvedTarget* data);

// Whether a record of an interrupted commit stands beside the index at the target.
bool interruptedCommitAt(const ResolvedTarget& index);

}  // namespace unbcl
