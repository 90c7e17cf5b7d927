// SPDX-License-Identifier: MIT
#include "unbcl/commit_record.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>

#include "new_output_file.hpp"
#include "temporary_name.hpp"

namespace unbcl {

namespace {

constexpr std::string_view kRecordPrefix = ".bcl-commit-";
constexpr std::string_view kRecordHeading = "bcl commit record 1";
// Longest file name the usual file systems take.
constexpr std::size_t kMaxFileName = 255;
constexpr std::size_t kMaxRecordBytes = 1 << 20;

std::string hexOf(std::string_view bytes) {
    if (bytes.empty()) return "-";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> bytesOfHex(std::string_view hex) {
    if (hex == "-") return std::string();
    if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

template <typename Number>
std::optional<Number> numberOf(std::string_view text) {
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string checksumLine(std::string_view body) {
    const uLong crc = ::crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08lx", crc);
    return std::string("sum ") + digits + "\n";
}

std::optional<FileIdentity> identityAt(int directory, const std::string& name) {
    if (name.empty()) return std::nullopt;
    struct stat st {};
    if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

SysResult<std::string> readSmallFile(int directory, const std::string& name) {
    UniqueFd fd(::openat(directory, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return SysResult<std::string>::failure(errno);
    std::string bytes;
    char block[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), block, sizeof block);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SysResult<std::string>::failure(errno);
        }
        if (n == 0) return bytes;
        bytes.append(block, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxRecordBytes) return SysResult<std::string>::failure(EFBIG);
    }
}

// What recovery does to one target, in its own directory.
class TargetRecovery {
public:
    TargetRecovery(const CommittedTarget& target, UniqueFd directory)
        : target_(target), directory_(std::move(directory)) {}

    bool holdsNewFile() const { return identityAt(dir(), target_.name) == target_.newFile; }

    // Removes what the commit left under temporary names: the previous file once the commit is
    // complete, the new one once it is undone. Only files the record names are touched.
    void removeTemporaries(const FileIdentity& leftover) const {
        for (const std::string* name : {&target_.newTemporary, &target_.oldTemporary}) {
            if (identityAt(dir(), *name) == leftover) (void)::unlinkat(dir(), name->c_str(), 0);
        }
    }
    void removeLeftoversOfCompletion() const {
        if (target_.oldFile) removeTemporaries(*target_.oldFile);
    }

    // Puts the previous file back at the name; the reason when it cannot.
    std::optional<std::string> rollBack() const {
        const std::optional<FileIdentity> now = identityAt(dir(), target_.name);
        const char* name = target_.name.c_str();
        if (now && *now == target_.newFile) {
            if (!target_.oldFile) {
                if (::unlinkat(dir(), name, 0) != 0) return "cannot remove the new file: " + systemReason(errno);
            } else if (const auto err = putPreviousBack(true); err) {
                return err;
            }
        } else if (!now && target_.oldFile) {
            if (const auto err = putPreviousBack(false); err) return err;
        } else if (now && !(target_.oldFile && *now == *target_.oldFile)) {
            return "another file stands at " + pathOfName();
        }
        removeTemporaries(target_.newFile);
        return std::nullopt;
    }

    int sync() const { return ::fsync(dir()) == 0 ? 0 : errno; }

private:
    int dir() const { return directory_.get(); }
    std::string pathOfName() const { return target_.directory + "/" + target_.name; }

    // The previous file waits under the new file's hidden name after an exchange, or under a
    // name of its own where the file system had to rename instead.
    std::optional<std::string> putPreviousBack(bool newFileAtName) const {
        const std::string* from = nullptr;
        for (const std::string* name : {&target_.newTemporary, &target_.oldTemporary}) {
            if (identityAt(dir(), *name) == target_.oldFile) from = name;
        }
        if (!from) return "its previous file is gone";
        const bool exchange = newFileAtName && from == &target_.newTemporary;
        const int result = exchange ? ::renameat2(dir(), from->c_str(), dir(), target_.name.c_str(), RENAME_EXCHANGE)
                                    : ::renameat(dir(), from->c_str(), dir(), target_.name.c_str());
        if (result != 0) return "cannot put its previous file back: " + systemReason(errno);
        return std::nullopt;
    }

    const CommittedTarget& target_;
    UniqueFd directory_;
};

}  // namespace

SysResult<std::string> absolutePathOfDirectory(int directoryFd) {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink(procPathOf(directoryFd).c_str(), path.data(), path.size());
    if (n < 0) return SysResult<std::string>::failure(errno);
    // A directory removed meanwhile reads as "PATH (deleted)": no record could find it again.
    if (n == 0 || path[0] != '/' || static_cast<std::size_t>(n) == path.size()) {
        return SysResult<std::string>::failure(ENOENT);
    }
    path.resize(static_cast<std::size_t>(n));
    return path;
}

std::string commitRecordName(std::string_view indexName) {
    std::string name = std::string(kRecordPrefix) + std::string(indexName);
    if (name.size() <= kMaxFileName) return name;
    // A name near the limit keeps its start and gets its checksum, so it stays its own.
    const std::string sum = checksumLine(indexName).substr(4, 8);
    name.resize(kMaxFileName - sum.size() - 1);
    return name + "-" + sum;
}

std::string encodeCommitRecord(const CommitRecord& record) {
    std::ostringstream body;
    body << kRecordHeading << "\n";
    for (const CommittedTarget& t : record.targets) {
        body << "target " << hexOf(t.directory) << ' ' << hexOf(t.name) << ' ' << hexOf(t.newTemporary) << ' '
             << hexOf(t.oldTemporary) << ' ' << t.newFile.device << ' ' << t.newFile.inode << ' ';
        if (t.oldFile) {
            body << t.oldFile->device << ' ' << t.oldFile->inode;
        } else {
            body << "- -";
        }
        body << "\n";
    }
    const std::string text = body.str();
    return text + checksumLine(text);
}

std::optional<CommitRecord> decodeCommitRecord(std::string_view bytes) {
    const std::size_t sumAt = bytes.rfind("sum ");
    if (sumAt == std::string_view::npos || bytes.substr(sumAt) != checksumLine(bytes.substr(0, sumAt))) {
        return std::nullopt;
    }
    std::istringstream lines{std::string(bytes.substr(0, sumAt))};
    std::string line;
    if (!std::getline(lines, line) || line != kRecordHeading) return std::nullopt;
    CommitRecord record;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string word, directory, name, newTemporary, oldTemporary, newDevice, newInode, oldDevice, oldInode;
        fields >> word >> directory >> name >> newTemporary >> oldTemporary >> newDevice >> newInode >> oldDevice >>
            oldInode;
        if (word != "target" || fields.fail()) return std::nullopt;
        CommittedTarget t;
        const auto dir = bytesOfHex(directory);
        const auto base = bytesOfHex(name);
        const auto fresh = bytesOfHex(newTemporary);
        const auto displaced = bytesOfHex(oldTemporary);
        const auto dev = numberOf<dev_t>(newDevice);
        const auto ino = numberOf<ino_t>(newInode);
        if (!dir || !base || !fresh || !displaced || !dev || !ino || base->empty()) return std::nullopt;
        t = {*dir, *base, *fresh, *displaced, {*dev, *ino}, std::nullopt};
        if (oldDevice != "-") {
            const auto oldDev = numberOf<dev_t>(oldDevice);
            const auto oldIno = numberOf<ino_t>(oldInode);
            if (!oldDev || !oldIno) return std::nullopt;
            t.oldFile = FileIdentity{*oldDev, *oldIno};
        }
        record.targets.push_back(std::move(t));
    }
    if (record.targets.empty()) return std::nullopt;
    return record;
}

int writeCommitRecord(int directoryFd, const std::string& name, const CommitRecord& record) {
    const std::string bytes = encodeCommitRecord(record);
    // Written under a name of its own and renamed over the record's name only when synced, so
    // that a record at that name is always whole (or fails its checksum after a power loss).
    const SysResult<std::string> temporary =
        withFreshTemporaryName(".bcl-record-", [&](const std::string& candidate) {
            UniqueFd fd(::openat(directoryFd, candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600));
            if (!fd) return -1;
            int err = writeAll(fd.get(), bytes);
            if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
            if (err == 0 && fd.close() != 0) err = errno;
            if (err != 0) {
                (void)::unlinkat(directoryFd, candidate.c_str(), 0);
                errno = err == EEXIST ? EIO : err;
                return -1;
            }
            return 0;
        });
    if (!temporary) return temporary.error();
    if (::renameat(directoryFd, temporary->c_str(), directoryFd, name.c_str()) != 0) {
        const int err = errno;
        (void)::unlinkat(directoryFd, temporary->c_str(), 0);
        return err;
    }
    if (::fsync(directoryFd) != 0) {
        const int err = errno;
        (void)::unlinkat(directoryFd, name.c_str(), 0);
        return err;
    }
    return 0;
}

bool commitRecordExists(int directoryFd, const std::string& recordName) {
    struct stat st {};
    return ::fstatat(directoryFd, recordName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::vector<std::string> directoriesNamedBy(int directoryFd, const std::string& recordName) {
    std::vector<std::string> directories;
    const SysResult<std::string> bytes = readSmallFile(directoryFd, recordName);
    if (!bytes) return directories;
    const std::optional<CommitRecord> record = decodeCommitRecord(*bytes);
    if (!record) return directories;
    for (const CommittedTarget& t : record->targets) {
        if (std::find(directories.begin(), directories.end(), t.directory) == directories.end()) {
            directories.push_back(t.directory);
        }
    }
    return directories;
}

namespace {

bool isWritersHiddenName(const std::string& name) {
    return name.empty() || isTemporaryName(name, kReplaceTemporaryPrefix);
}

// Why the record's target cannot be one this recovery may touch, or nothing when it can.
std::optional<std::string> foreignTarget(const CommittedTarget& t, int directory,
                                         const std::vector<RecoverableFile>& archiveFiles) {
    struct stat st {};
    if (::fstat(directory, &st) != 0) return t.directory + ": " + systemReason(errno);
    const FileIdentity identity{st.st_dev, st.st_ino};
    const bool ours = std::any_of(archiveFiles.begin(), archiveFiles.end(), [&](const RecoverableFile& f) {
        return f.directory == identity && f.name == t.name;
    });
    if (!ours) return "it names " + t.directory + "/" + t.name + ", which is not one of the archive's files";
    if (!isWritersHiddenName(t.newTemporary) || !isWritersHiddenName(t.oldTemporary)) {
        return "it names hidden files no writer of this archive makes";
    }
    return std::nullopt;
}

}  // namespace

Recovery recoverCommit(int directoryFd, const std::string& recordName, const std::string& subject,
                       const std::vector<RecoverableFile>& archiveFiles) {
    Recovery recovery;
    const SysResult<std::string> bytes = readSmallFile(directoryFd, recordName);
    if (!bytes) {
        if (bytes.error() == ENOENT) return recovery;
        recovery.outcome = RecoveryOutcome::Failed;
        recovery.problems.add(makeProblem(ProblemKind::CannotRead, subject,
                                          "cannot read the record of an interrupted commit: " +
                                              systemReason(bytes.error()),
                                          bytes.error()));
        return recovery;
    }
    const std::optional<CommitRecord> record = decodeCommitRecord(*bytes);
    // A writer renames its record into place only once it is whole and synced, so a damaged one
    // was not written by a writer: acting on it could make a mix of what was whole.
    if (!record) {
        recovery.outcome = RecoveryOutcome::Failed;
        recovery.problems.add(makeProblem(ProblemKind::Refused, subject,
                                          "the record of an interrupted commit, " + recordName +
                                              ", is damaged; nothing was changed (check the archive, then remove it)"));
        return recovery;
    }
    std::vector<TargetRecovery> targets;
    {
        for (const CommittedTarget& t : record->targets) {
            UniqueFd dir(::open(t.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir) {
                recovery.outcome = RecoveryOutcome::Failed;
                recovery.problems.add(makeProblem(ProblemKind::CannotOpen, subject,
                                                  "cannot finish an interrupted commit: " + t.directory + ": " +
                                                      systemReason(errno),
                                                  errno));
                return recovery;
            }
            if (const auto foreign = foreignTarget(t, dir.get(), archiveFiles)) {
                recovery.outcome = RecoveryOutcome::Failed;
                recovery.problems.add(makeProblem(ProblemKind::Refused, subject,
                                                  "refused to act on the record of an interrupted commit, " +
                                                      recordName + ": " + *foreign));
                return recovery;
            }
            targets.emplace_back(t, std::move(dir));
        }
    }
    const bool complete = std::all_of(targets.begin(), targets.end(),
                                                [](const TargetRecovery& t) { return t.holdsNewFile(); });
    if (complete) {
        for (const TargetRecovery& t : targets) t.removeLeftoversOfCompletion();
        recovery.outcome = RecoveryOutcome::Completed;
    } else {
        for (const TargetRecovery& t : targets) {
            if (const auto failure = t.rollBack()) {
                recovery.outcome = RecoveryOutcome::Failed;
                recovery.problems.add(makeProblem(ProblemKind::CannotReplace, subject,
                                                  "cannot undo an interrupted commit: " + *failure));
                return recovery;
            }
        }
        recovery.outcome = RecoveryOutcome::RolledBack;
    }
    for (const TargetRecovery& t : targets) {
        if (const int err = t.sync(); err != 0) {
            recovery.outcome = RecoveryOutcome::Failed;
            recovery.problems.add(makeProblem(ProblemKind::CannotWrite, subject,
                                              "cannot sync the repair of an interrupted commit: " + systemReason(err),
                                              err));
            return recovery;
        }
    }
    if (::unlinkat(directoryFd, recordName.c_str(), 0) != 0 || ::fsync(directoryFd) != 0) {
        const int err = errno;
        recovery.outcome = RecoveryOutcome::Failed;
        recovery.problems.add(makeProblem(ProblemKind::CannotWrite, subject,
                                          "cannot remove the record of an interrupted commit: " + systemReason(err),
                                          err));
        return recovery;
    }
    recovery.problems.add(makeNote(ProblemKind::Repaired, subject,
                                   complete ? "an interrupted commit was completed: the archive is the new one"
                                            : "an interrupted commit was undone: the archive is as it was before it"));
    return recovery;
}

}  // namespace unbcl
