// SPDX-License-Identifier: MIT
#include "unbcl/extract.hpp"

#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "new_output_file.hpp"
#include "unbcl/console.hpp"
#include "unbcl/member_name.hpp"

namespace unbcl {

std::vector<ProtectedFile> archiveFilesToProtect(const FileIdentity& index, const FileIdentity& data) {
    return {{index, "the index file"}, {data, "the data file"}};
}

std::optional<std::string_view> archiveFileAtFd(int fd, const std::string& index, const std::string& data) {
    struct stat out {};
    if (::fstat(fd, &out) != 0 || !S_ISREG(out.st_mode)) return std::nullopt;
    for (const auto& [path, description] : {std::pair{&index, "the index file"}, {&data, "the data file"}}) {
        struct stat st {};
        if (::stat(path->c_str(), &st) == 0 && st.st_dev == out.st_dev && st.st_ino == out.st_ino) {
            return std::string_view(description);
        }
    }
    return std::nullopt;
}

namespace {

constexpr int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC;

std::optional<Problem> refusedName(std::string_view name, NameStyle style) {
    const NameVerdict verdict = judgeMemberName(name, style);
    if (verdict == NameVerdict::Safe) return std::nullopt;
    return makeNameProblem(ProblemKind::UnsafeName, std::string(name), "refused: " + std::string(describeNameVerdict(verdict)));
}

const ProtectedFile* protectedFileFor(const std::vector<ProtectedFile>& files, const FileIdentity& identity) {
    const auto it =
        std::find_if(files.begin(), files.end(), [&](const ProtectedFile& p) { return p.identity == identity; });
    return it == files.end() ? nullptr : &*it;
}

Problem wouldOverwrite(const std::string& name, const ProtectedFile& file) {
    return makeNameProblem(ProblemKind::Refused, name, "refused: output would overwrite " + std::string(file.description));
}

Problem notRegular(const std::string& name, mode_t mode) {
    return makeNameProblem(ProblemKind::Refused, name, notRegularFile(mode));
}

Problem linkLeadsOut(const std::string& name) {
    return makeNameProblem(ProblemKind::UnsafeName, name, "refused: a symbolic link leads out of the extraction directory",
                       EXDEV);
}

// A beneath-only open gives EXDEV where a link leads out, which is a refusal, not a failure.
Problem openFailure(const std::string& name, int err) {
    if (err == EXDEV) return linkLeadsOut(name);
    return makeNameProblem(ProblemKind::CannotOpen, name, "cannot create: " + systemReason(err), err);
}

Problem directoryFailure(const std::string& name, std::string_view directory, int err) {
    if (err == EXDEV) return linkLeadsOut(name);
    return makeNameProblem(ProblemKind::CannotOpen, name,
                       "cannot create directory " + escapeControlBytes(directory) + ": " + systemReason(err), err);
}

// The output file was made: what the copy put in it decides whether the member is whole.
void recordCopy(const ListMLV& entry, const CopyOutcome& outcome, int closeErrno, ExtractedMember& result) {
    result.written = true;
    result.copied = outcome.copied;
    std::optional<Problem> problem = copyProblem(entry, outcome, closeErrno, CopyTarget::File);
    result.whole = !problem && !result.problems.anyError();
    if (problem) result.problems.add(std::move(*problem));
}

}  // namespace

ExtractedMember InPlaceExtractor::extractMember(const ListMLV& entry) {
    ExtractedMember result;
    if (std::optional<Problem> refused = refusedName(entry.fname, NameStyle::Unix)) {
        result.problems.add(std::move(*refused));
        return result;
    }
    UniqueFd out = createOutput(std::string(entry.fname), result.problems);
    if (!out) return result;
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, out.get());
    const int closeErrno = out.close();
    recordCopy(entry, outcome, closeErrno, result);
    return result;
}

UniqueFd InPlaceExtractor::createOutput(const std::string& name, Problems& problems) const {
    // A name that did not exist cannot be one of the archive's files, nor a FIFO or a link,
    // so a new file costs a single call; only what already exists is looked at.
    UniqueFd fd(::openat(AT_FDCWD, name.c_str(), kNewFileFlags, 0666));
    if (fd) return fd;
    if (const int err = errno; err != EEXIST) {
        problems.add(openFailure(name, err));
        return {};
    }
    return reuseExisting(name, problems);
}

UniqueFd InPlaceExtractor::reuseExisting(const std::string& name, Problems& problems) const {
    // Look before opening: opening a FIFO for writing waits for a reader, and opening a
    // device can act on it. O_NONBLOCK covers one swapped in after the look.
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        problems.add(notRegular(name, st.st_mode));
        return {};
    }
    UniqueFd fd(::openat(AT_FDCWD, name.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666));
    if (!fd) {
        problems.add(openFailure(name, errno));
        return {};
    }
    if (::fstat(fd.get(), &st) != 0) {
        problems.add(openFailure(name, errno));
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        problems.add(notRegular(name, st.st_mode));
        return {};
    }
    if (const ProtectedFile* p = protectedFileFor(protected_, {st.st_dev, st.st_ino})) {
        problems.add(wouldOverwrite(name, *p));
        return {};
    }
    if (st.st_nlink > 1) {
        // Emptying a file that has other names would change them too: this name gets a file
        // of its own instead.
        fd.reset();
        if (::unlinkat(AT_FDCWD, name.c_str(), 0) != 0) {
            const int err = errno;
            problems.add(makeNameProblem(ProblemKind::CannotReplace, name, "cannot replace: " + systemReason(err), err));
            return {};
        }
        fd = UniqueFd(::openat(AT_FDCWD, name.c_str(), kNewFileFlags, 0666));
        if (!fd) problems.add(openFailure(name, errno));
        return fd;
    }
    if (st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) {
        const int err = errno;
        problems.add(makeNameProblem(ProblemKind::CannotWrite, name, "cannot create: " + systemReason(err), err));
        return {};
    }
    return fd;
}

bool BeneathExtractor::refusesName(std::string_view name) const {
    return judgeMemberName(name, policy_.nameStyle) != NameVerdict::Safe;
}

OutputFootprint BeneathExtractor::footprint(std::string_view name) const {
    OutputFootprint footprint;
    footprint.readsThroughFile = policy_.keepExisting;
    const auto last = name.rfind('/');
    footprint.file = last == std::string_view::npos ? name : name.substr(last + 1);
    if (last == std::string_view::npos) return footprint;
    for (auto slash = name.find('/');; slash = name.find('/', slash + 1)) {
        const std::string_view path = name.substr(0, slash);
        const auto before = path.rfind('/');
        const std::string_view component = before == std::string_view::npos ? path : path.substr(before + 1);
        if (!namesNoEntry(component)) footprint.directories.push_back({path, component});
        if (slash == last) break;
    }
    return footprint;
}

int BeneathExtractor::openBeneath(const std::string& path, int flags) const {
    open_how how{};
    how.flags = static_cast<__u64>(static_cast<unsigned>(flags));
    how.resolve = RESOLVE_BENEATH;
    return static_cast<int>(::syscall(SYS_openat2, policy_.directoryFd, path.c_str(), &how, sizeof how));
}

std::optional<BeneathExtractor::OutputSlot> BeneathExtractor::makeOutputSlot(const std::string& name,
                                                                           Problems& problems) const {
    // Each name is resolved afresh, beneath the extraction directory: a directory kept open
    // from an earlier member could since have been moved out of it, or replaced by a file.
    // Each directory is made inside its parent, itself opened beneath the extraction directory,
    // so no link can carry a new directory outside.
    const OutputFootprint uses = footprint(name);
    UniqueFd parent;
    for (const OutputFootprint::Directory& directory : uses.directories) {
        const std::string path(directory.path);
        UniqueFd opened(openBeneath(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        int err = opened ? 0 : errno;
        if (err == ENOENT) {
            const int parentFd = parent ? parent.get() : policy_.directoryFd;
            if (::mkdirat(parentFd, std::string(directory.name).c_str(), 0777) != 0 && errno != EEXIST) {
                const int mkdirErr = errno;
                problems.add(makeNameProblem(ProblemKind::CannotOpen, name,
                                         "cannot create directory " + escapeControlBytes(path) + ": " +
                                             systemReason(mkdirErr),
                                         mkdirErr));
                return std::nullopt;
            }
            opened = UniqueFd(openBeneath(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            err = opened ? 0 : errno;
        }
        if (err != 0) {
            problems.add(directoryFailure(name, path, err));
            return std::nullopt;
        }
        parent = std::move(opened);
    }
    // The parent is worked in on the last component alone: what stands at the name is never
    // followed, whatever it is.
    return OutputSlot{std::move(parent), std::string(uses.file)};
}

std::optional<bool> BeneathExtractor::mayReplace(const OutputSlot& slot, const std::string& name,
                                                 Problems& problems) const {
    struct stat st {};
    if (::fstatat(slot.parentFd(policy_.directoryFd), slot.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;
        problems.add(openFailure(name, errno));
        return std::nullopt;
    }
    if (policy_.keepExisting) {
        problems.add(whatIsKept(name));
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        problems.add(openFailure(name, EISDIR));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        problems.add(notRegular(name, st.st_mode));
        return std::nullopt;
    }
    if (const ProtectedFile* p = protectedFileFor(protected_, {st.st_dev, st.st_ino})) {
        problems.add(wouldOverwrite(name, *p));
        return std::nullopt;
    }
    return true;
}

Problem BeneathExtractor::whatIsKept(const std::string& name) const {
    UniqueFd existing(openBeneath(name, O_PATH | O_CLOEXEC));
    struct stat st {};
    if (existing && ::fstat(existing.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        return makeNameNote(ProblemKind::KeptExisting, name, "kept the existing file");
    }
    // Nothing could be kept: a directory, a FIFO, a link to nowhere or out of the directory.
    if (!existing) {
        const int err = errno;
        if (err == EXDEV) return linkLeadsOut(name);
        return makeNameProblem(ProblemKind::CannotOpen, name, "nothing kept: " + systemReason(err), err);
    }
    return makeNameProblem(ProblemKind::Refused, name, "nothing kept: " + describeFileType(st.st_mode) + " is in the way");
}

void BeneathExtractor::tidyOnce(const std::string& name, int parentFd) {
    const std::size_t slash = name.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : name.substr(0, slash);
    if (tidied_.contains(directory)) return;
    removeAbandonedTemporaries(parentFd, kExtractTemporaryPrefix, kLeftoverAge);
    tidied_.insert(std::move(directory));
}

void BeneathExtractor::writeWhole(const ListMLV& entry, const std::string& name, ExtractedMember& result) {
    const std::optional<OutputSlot> slot = makeOutputSlot(name, result.problems);
    if (!slot) return;
    // A killed extraction leaves hidden files behind; the next one that writes beside them
    // takes them away, but never a live writer's, which holds its file's lock.
    tidyOnce(name, slot->parentFd(policy_.directoryFd));
    // A file kept with -k is looked at before any byte is copied. Otherwise the name is
    // assumed free, the common case, and what stands there is judged only when placing finds
    // the name taken.
    std::optional<bool> replace = false;
    if (policy_.keepExisting) {
        replace = mayReplace(*slot, name, result.problems);
        if (!replace) return;
    }
    SysResult<NewOutputFile> file = NewOutputFile::begin(slot->parentFd(policy_.directoryFd));
    if (!file) {
        result.problems.add(openFailure(name, file.error()));
        return;
    }
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, file->fd(), policy_.stopOnSignal);
    // Dropping the file is what makes an interrupt safe here: the signal ends the run only
    // once nothing is left half-made.
    if (outcome.interrupted) {
        result.interrupted = true;
        return;
    }
    if (outcome.writeErrno != 0 || outcome.readErrno != 0) {
        // Bytes that were never written or never read make no member: the file is dropped and
        // whatever stood at the name stays.
        if (std::optional<Problem> problem = copyProblem(entry, outcome, 0, CopyTarget::File)) {
            result.problems.add(std::move(*problem));
        }
        return;
    }
    int placeErrno = file->place(slot->base, *replace);
    if (placeErrno == EEXIST && !*replace) {
        // A file or link there is replaced as an extractor should, by a new file, so a hard
        // link elsewhere keeps its bytes and a symbolic link is never written through.
        replace = mayReplace(*slot, name, result.problems);
        if (!replace) return;
        placeErrno = file->place(slot->base, *replace);
    }
    if (placeErrno != 0) {
        result.problems.add(makeNameProblem(ProblemKind::CannotReplace, name,
                                        (*replace ? "cannot replace: " : "cannot create: ") + systemReason(placeErrno),
                                        placeErrno));
        return;
    }
    // A member that runs past the end of the data file is written with the bytes that exist,
    // as the archive holds it, and reported.
    recordCopy(entry, outcome, file->close(), result);
}

ExtractedMember BeneathExtractor::extractMember(const ListMLV& entry) {
    ExtractedMember result;
    if (std::optional<Problem> refused = refusedName(entry.fname, policy_.nameStyle)) {
        result.problems.add(std::move(*refused));
        return result;
    }
    writeWhole(entry, std::string(entry.fname), result);
    return result;
}

}  // namespace unbcl
