// SPDX-License-Identifier: MIT
#include "unbcl/archive_open.hpp"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "unbcl/archive_replace.hpp"
#include "unbcl/index_reader.hpp"

namespace unbcl {

namespace {

// However busy the writers, each pass of the loop below ends with a commit: a bound only keeps
// a pathological case from spinning.
constexpr int kMaxOpenAttempts = 64;

bool lockShared(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_SH) == 0) return true;
        // A file that cannot be locked (some FUSE and network file systems) cannot be locked
        // by a writer either; it is read as it stands.
        if (errno != EINTR) return false;
    }
}

bool stillAtItsName(const std::string& path, const InputFile& file) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && FileIdentity{st.st_dev, st.st_ino} == file.identity;
}

// The reason a reader gives when it finds an interrupted commit it may not repair.
Problem repairRefused(const ResolvedTarget& index, const std::string& why, int err) {
    return makeProblem(ProblemKind::CannotReplace, index.path,
                       "an interrupted commit needs repair, and " + why +
                           " (any bcl command run on the archive by a user who may write there repairs it, "
                           "for example 'bcl test " + index.path + "')",
                       err);
}

// Repairs an interrupted commit beside the index, when one stands there; false when one does
// and cannot be repaired (the reason is in files.repair).
bool repairIfInterrupted(const ArchivePaths& paths, ArchiveFiles& files) {
    const SysResult<ResolvedTarget> index = resolveTarget(paths.index);
    if (!index || !interruptedCommitAt(*index)) return true;
    if (::faccessat(index->directory.get(), ".", W_OK, AT_EACCESS) != 0) {
        const int err = errno;
        files.repair.add(repairRefused(*index, "this user cannot write its directory: " + systemReason(err), err));
        return false;
    }
    const SysResult<ResolvedTarget> data = resolveTarget(paths.data);
    Problems done = recoverInterruptedCommit(*index, data ? &*data : nullptr);
    const bool fine = !done.anyError();
    // Nothing said: the record was gone by the time the lock was had (another repaired it).
    files.repaired = files.repaired || (fine && !done.empty());
    files.repair.add(std::move(done));
    return fine;
}

}  // namespace

ArchiveFiles openArchiveFiles(const ArchivePaths& paths, bool wantData) {
    ArchiveFiles files;
    for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
        files.index = openInputFile(paths.index);
        if (!files.index) {
            // A new archive whose commit was cut short has its data file and no index yet.
            const int err = files.index.error();
            if (files.repaired || !repairIfInterrupted(paths, files) || !files.repaired) {
                files.index = SysResult<InputFile>::failure(err);
                return files;
            }
            continue;
        }
        const int indexFd = files.index->fd.get();
        const bool locked = lockShared(indexFd);
        // A commit that came between the open and the lock put another index at the name.
        if (locked && !stillAtItsName(paths.index, *files.index) && attempt + 1 < kMaxOpenAttempts) {
            (void)::flock(indexFd, LOCK_UN);
            continue;
        }
        // Under the lock no live writer is between its first rename and its last, so a record
        // standing now was left by one that died.
        if (const SysResult<ResolvedTarget> where = resolveTarget(paths.index); where && interruptedCommitAt(*where)) {
            (void)::flock(indexFd, LOCK_UN);
            files.index = SysResult<InputFile>::failure(0);
            if (!repairIfInterrupted(paths, files)) return files;
            continue;
        }
        if (wantData) files.data = openDataFile(paths.data);
        if (locked) (void)::flock(indexFd, LOCK_UN);
        return files;
    }
    return files;
}

LoadedIndex readWholeIndexFile(InputFile file, const std::string& path, Problems& problems) {
    IndexContents contents = readWholeIndex(readFromFd(file.fd.get()));
    LoadedIndex loaded{std::move(file), std::move(contents.header1), std::move(contents.header2),
                       std::move(contents.entries), contents.form, true};
    if (const ReadingStop& stop = contents.stop; isReportedStop(stop.reason)) {
        Problem p = makeProblem(ProblemKind::CannotRead, {}, stopReport(path, stop), stop.readErrno);
        problems.add(std::move(p));
        loaded.complete = false;
    }
    return loaded;
}

}  // namespace unbcl
