// SPDX-License-Identifier: MIT
// The record a writer leaves beside an archive while it puts new files in place. A commit of
// two files takes several renames; a kill or a power loss between them would leave a new data
// file under an old index. The record, synced before the first rename and removed after the
// last, names every file involved, so that whoever comes next can finish the commit or undo it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/file_io.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

// One file the commit replaces or makes.
struct CommittedTarget {
    std::string directory;  // absolute path of the target's directory
    std::string name;       // the target's name in it
    // Where the new file waits until it is placed, and where the previous file goes when it is
    // displaced; one name when the two are exchanged.
    std::string newTemporary;
    std::string oldTemporary;
    FileIdentity newFile;
    std::optional<FileIdentity> oldFile;  // none: there was no file at the name
};

struct CommitRecord {
    std::vector<CommittedTarget> targets;
};

// The record's file name beside the index named indexName.
std::string commitRecordName(std::string_view indexName);

// The record as bytes, ending in a checksum of everything before it.
std::string encodeCommitRecord(const CommitRecord& record);
// The record those bytes hold; nothing when they are not a whole record (a power loss while it
// was written, before anything it names was touched).
std::optional<CommitRecord> decodeCommitRecord(std::string_view bytes);

// Writes the record in the directory and makes it durable: the file and then its name.
// Returns 0 or the errno of the failure, in which case no record stands.
int writeCommitRecord(int directoryFd, const std::string& name, const CommitRecord& record);

enum class RecoveryOutcome {
    NoRecord,
    Completed,   // every target already held its new file: only the leftovers were removed
    RolledBack,  // every target holds its previous file (or no file, where it had none) again
    Failed,      // something stands in the way; the record stays for another try
};

struct Recovery {
    RecoveryOutcome outcome = RecoveryOutcome::NoRecord;
    Problems problems;  // one note saying what was done, or the errors that stopped it
};

// A file a recovery may touch: one of the archive's own two, by its directory and name.
struct RecoverableFile {
    FileIdentity directory;
    std::string name;
};

// Finishes or undoes the commit that the record in the directory describes, then removes the
// record. The caller holds the writers' lock of every directory the record names. subject names
// the archive in the reports. A record that is not whole, or that names any file but the
// archive's own (archiveFiles) or hidden names of another form than a writer's, is refused and
// nothing is touched: anyone who may write beside an archive may also plant a record there.
Recovery recoverCommit(int directoryFd, const std::string& recordName, const std::string& subject,
                       const std::vector<RecoverableFile>& archiveFiles);

// The absolute path of the directory open on directoryFd, as a record names it.
SysResult<std::string> absolutePathOfDirectory(int directoryFd);

// Whether a record stands in the directory.
bool commitRecordExists(int directoryFd, const std::string& recordName);

// The directories a record names, besides the one it stands in, as paths: the caller locks
// them too before recovering.
std::vector<std::string> directoriesNamedBy(int directoryFd, const std::string& recordName);

}  // namespace unbcl
