// SPDX-License-Identifier: MIT
// A new file written out of sight and given its name only when whole: a failed write or a
// killed process leaves whatever stood at the name before. Both the archive writers and
// bcl extract make their files this way, so every fallback lives here once.
#pragma once

#include <fcntl.h>

#include <chrono>
#include <string>
#include <string_view>

#include "temporary_name.hpp"
#include "unbcl/file_io.hpp"

namespace unbcl {

// The hidden names of the two kinds of writer. Each writer removes only its own kind.
inline constexpr std::string_view kExtractTemporaryPrefix = ".bcl-extract-";
inline constexpr std::string_view kReplaceTemporaryPrefix = ".bcl-replace-";

class NewOutputFile {
public:
    // A new, empty file in the directory open on parentFd (which must outlive it): unnamed where
    // the file system has unnamed files, else under a hidden name with the prefix, locked
    // (flock) for as long as this object lives so that nobody takes it for a dead writer's.
    // access is O_WRONLY or O_RDWR.
    static SysResult<NewOutputFile> begin(int parentFd, std::string_view prefix = kExtractTemporaryPrefix,
                                          int access = O_WRONLY);

    int fd() const { return file_.get(); }
    // Whether the file has no name yet and none on disk: nothing is left if the process dies.
    bool unnamed() const { return temporary_.empty(); }
    // The hidden name, when it has one.
    const std::string& temporaryName() const { return temporary_.name(); }

    // Gives the file the name base in the parent directory: 0 or the errno of the failure.
    // Without replace, EEXIST when something already stands there; with it, what stands
    // there (a file, a symbolic link) is swapped out in one step, never followed.
    int place(const std::string& base, bool replace);

    // Gives an unnamed file the hidden name given (chosen beforehand, so that a record can name
    // it first): 0 or the errno of the failure. The name is then this object's to remove.
    int nameAs(const std::string& hiddenName);
    // The hidden name now belongs to the file's new place (a rename moved it): not removed.
    void forgetTemporaryName() { temporary_.release(); }

    // Lets go of the lock that marks a hidden name as in use.
    void unlock() const;
    // Closes the placed file: 0 or the errno of a failed close.
    int close() { return file_.close(); }

private:
    NewOutputFile(int parentFd, UniqueFd file, TemporaryName temporary, std::string_view prefix)
        : parentFd_(parentFd), file_(std::move(file)), temporary_(std::move(temporary)), prefix_(prefix) {}
    int linkUnnamed(const std::string& name) const;

    int parentFd_ = -1;
    UniqueFd file_;
    // Empty while the file is unnamed; else the hidden name it is written under, removed
    // unless the file is placed.
    TemporaryName temporary_;
    std::string_view prefix_;
};

// Removes the hidden files a dead writer of this prefix left in the directory: those whose
// lock can be taken. A file still locked belongs to a writer that is alive and is left. With
// minimumAge, a file changed more recently is left too: a writer in the microsecond between
// making its file and locking it may be a thread of this very process.
void removeAbandonedTemporaries(int directoryFd, std::string_view prefix,
                                std::chrono::seconds minimumAge = std::chrono::seconds(0));

// How old a hidden file of bcl extract must be before another extraction takes it for a dead
// writer's: extractions run side by side, and threads of one run write into one directory.
inline constexpr std::chrono::seconds kLeftoverAge{2};

}  // namespace unbcl
