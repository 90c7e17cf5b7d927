// SPDX-License-Identifier: MIT
#include "unbcl/extract.hpp"

#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "new_output_file.hpp"
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

const ProtectedFile* MemberExtractor::protectedFileFor(const FileIdentity& identity) const {
    const auto it = std::find_if(protected_.begin(), protected_.end(),
                                 [&](const ProtectedFile& p) { return p.identity == identity; });
    return it == protected_.end() ? nullptr : &*it;
}

int MemberExtractor::openOutput(const std::string& name, int flags) const {
    if (!policy_.stayBeneath) return ::openat(policy_.directoryFd, name.c_str(), flags, 0666);
    open_how how{};
    how.flags = static_cast<__u64>(static_cast<unsigned>(flags));
    how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
    how.resolve = RESOLVE_BENEATH;
    return static_cast<int>(::syscall(SYS_openat2, policy_.directoryFd, name.c_str(), &how, sizeof how));
}

namespace {

constexpr int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC;
constexpr std::string_view kLinkLeadsOut = "refused: a symbolic link leads out of the extraction directory";

}  // namespace

void MemberExtractor::reportOpenFailure(const std::string& name, int err) {
    diagnostics_.report(name, err == EXDEV ? std::string(kLinkLeadsOut) : "cannot create: " + systemReason(err));
}

std::optional<UniqueFd> MemberExtractor::makeParentDirectories(const std::string& name) {
    // Each directory is made inside its parent, which was itself opened beneath the extraction
    // directory, so no link can carry a new directory outside.
    UniqueFd parent;
    for (auto slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        const std::string prefix = name.substr(0, slash);
        const std::string component = prefix.substr(prefix.rfind('/') + 1);
        if (component.empty() || component == ".") continue;
        UniqueFd dir(openOutput(prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        int err = dir ? 0 : errno;
        if (err == ENOENT) {
            const int parentFd = parent ? parent.get() : policy_.directoryFd;
            if (::mkdirat(parentFd, component.c_str(), 0777) != 0 && errno != EEXIST) {
                err = errno;
                diagnostics_.report(name, "cannot create directory " + escapeControlBytes(prefix) + ": " +
                                              systemReason(err));
                return std::nullopt;
            }
            dir = UniqueFd(openOutput(prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            err = dir ? 0 : errno;
        }
        if (err != 0) {
            diagnostics_.report(name, err == EXDEV ? std::string(kLinkLeadsOut)
                                                   : "cannot create directory " + escapeControlBytes(prefix) +
                                                         ": " + systemReason(err));
            return std::nullopt;
        }
        parent = std::move(dir);
    }
    return parent;
}

UniqueFd MemberExtractor::createOutput(const std::string& name) {
    // A name that did not exist cannot be one of the archive's files, nor a FIFO or a link,
    // so a new file costs a single call; only what already exists is looked at.
    UniqueFd fd(openOutput(name, kNewFileFlags));
    if (fd) return fd;
    if (const int err = errno; err != EEXIST) {
        reportOpenFailure(name, err);
        return {};
    }
    return reuseExisting(name);
}

UniqueFd MemberExtractor::reuseExisting(const std::string& name) {
    // Look before opening: opening a FIFO for writing waits for a reader, and opening a
    // device can act on it. O_NONBLOCK covers one swapped in after the look.
    struct stat st {};
    if (::fstatat(policy_.directoryFd, name.c_str(), &st, 0) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        diagnostics_.report(name, notRegularFile(st.st_mode));
        return {};
    }
    UniqueFd fd(openOutput(name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        reportOpenFailure(name, errno);
        return {};
    }
    if (::fstat(fd.get(), &st) != 0) {
        diagnostics_.report(name, "cannot create: " + systemReason(errno));
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        diagnostics_.report(name, notRegularFile(st.st_mode));
        return {};
    }
    if (const ProtectedFile* p = protectedFileFor({st.st_dev, st.st_ino})) {
        diagnostics_.report(name, "refused: output would overwrite " + std::string(p->description));
        return {};
    }
    if (st.st_nlink > 1) {
        // Emptying a file that has other names would change them too: this name gets a file
        // of its own instead.
        fd.reset();
        if (::unlinkat(policy_.directoryFd, name.c_str(), 0) != 0) {
            diagnostics_.report(name, "cannot replace: " + systemReason(errno));
            return {};
        }
        fd = UniqueFd(openOutput(name, kNewFileFlags));
        if (!fd) reportOpenFailure(name, errno);
        return fd;
    }
    if (st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) {
        diagnostics_.report(name, "cannot create: " + systemReason(errno));
        return {};
    }
    return fd;
}

std::optional<MemberExtractor::OutputSlot> MemberExtractor::findOutputSlot(const std::string& name) {
    // Each name is resolved afresh, beneath the extraction directory: a directory kept open
    // from an earlier member could since have been moved out of it, or replaced by a file.
    const auto slash = name.rfind('/');
    OutputSlot slot{UniqueFd(), slash == std::string::npos ? name : name.substr(slash + 1)};
    if (policy_.createDirectories) {
        std::optional<UniqueFd> made = makeParentDirectories(name);
        if (!made) return std::nullopt;
        slot.parent = std::move(*made);
    }
    // Work in the parent, opened beneath the extraction directory, on the last component alone:
    // what stands at the name is never followed, whatever it is.
    if (!slot.parent && slash != std::string::npos) {
        slot.parent = UniqueFd(openOutput(name.substr(0, slash), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!slot.parent) {
            reportOpenFailure(name, errno);
            return std::nullopt;
        }
    }
    return slot;
}

std::optional<bool> MemberExtractor::mayReplace(const OutputSlot& slot, const std::string& name) {
    struct stat st {};
    if (::fstatat(slot.parentFd(policy_.directoryFd), slot.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;
        reportOpenFailure(name, errno);
        return std::nullopt;
    }
    if (policy_.keepExisting) {
        keepExisting(name);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        reportOpenFailure(name, EISDIR);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        diagnostics_.report(name, notRegularFile(st.st_mode));
        return std::nullopt;
    }
    if (const ProtectedFile* p = protectedFileFor({st.st_dev, st.st_ino})) {
        diagnostics_.report(name, "refused: output would overwrite " + std::string(p->description));
        return std::nullopt;
    }
    return true;
}

ExtractedMember MemberExtractor::extractWhole(const ListMLV& entry, const std::string& name) {
    const std::optional<OutputSlot> slot = findOutputSlot(name);
    if (!slot) return {};
    // A file kept with -k is looked at before any byte is copied. Otherwise the name is
    // assumed free, the common case, and what stands there is judged only when placing finds
    // the name taken.
    std::optional<bool> replace = false;
    if (policy_.keepExisting) {
        replace = mayReplace(*slot, name);
        if (!replace) return {};
    }
    SysResult<NewOutputFile> file = NewOutputFile::begin(slot->parentFd(policy_.directoryFd));
    if (!file) {
        reportOpenFailure(name, file.error());
        return {};
    }
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, file->fd(), policy_.stopOnSignal);
    // Dropping the file is what makes an interrupt safe here: the signal ends the run only
    // once nothing is left half-made.
    if (outcome.interrupted) return {.interrupted = true};
    if (outcome.writeErrno != 0 || outcome.readErrno != 0) {
        // Bytes that were never written or never read make no member: the file is dropped and
        // whatever stood at the name stays.
        reportCopyOutcome(diagnostics_, entry, outcome, 0, CopyTarget::File);
        return {};
    }
    int placeErrno = file->place(slot->base, *replace);
    if (placeErrno == EEXIST && !*replace) {
        // A file or link there is replaced as an extractor should, by a new file, so a hard
        // link elsewhere keeps its bytes and a symbolic link is never written through.
        replace = mayReplace(*slot, name);
        if (!replace) return {};
        placeErrno = file->place(slot->base, *replace);
    }
    if (placeErrno != 0) {
        diagnostics_.report(name, (*replace ? "cannot replace: " : "cannot create: ") + systemReason(placeErrno));
        return {};
    }
    const int closeErrno = file->close();
    // A member that runs past the end of the data file is written with the bytes that exist,
    // as the archive holds it, and reported.
    const bool reported = reportCopyOutcome(diagnostics_, entry, outcome, closeErrno, CopyTarget::File);
    return {true, !reported, outcome.copied};
}

void MemberExtractor::keepExisting(const std::string& name) {
    UniqueFd existing(openOutput(name, O_PATH | O_CLOEXEC));
    struct stat st {};
    if (existing && ::fstat(existing.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        diagnostics_.note(name, "kept the existing file");
        return;
    }
    // Nothing could be kept: a directory, a FIFO, a link to nowhere or out of the directory.
    const int err = existing ? 0 : errno;
    if (err == EXDEV) {
        diagnostics_.report(name, std::string(kLinkLeadsOut));
    } else if (err != 0) {
        diagnostics_.report(name, "nothing kept: " + systemReason(err));
    } else {
        diagnostics_.report(name, "nothing kept: " + describeFileType(st.st_mode) + " is in the way");
    }
}

ExtractedMember MemberExtractor::extractMember(const ListMLV& entry) {
    if (const NameVerdict verdict = judgeMemberName(entry.fname, policy_.nameStyle); verdict != NameVerdict::Safe) {
        diagnostics_.report(entry.fname, "refused: " + std::string(describeNameVerdict(verdict)));
        return {};
    }
    if (policy_.stayBeneath) return extractWhole(entry, std::string(entry.fname));
    if (policy_.createDirectories && !makeParentDirectories(std::string(entry.fname))) return {};
    UniqueFd out = createOutput(std::string(entry.fname));
    if (!out) return {};
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, out.get());
    const int closeErrno = out.close();
    const bool reported = reportCopyOutcome(diagnostics_, entry, outcome, closeErrno, CopyTarget::File);
    return {true, !reported, outcome.copied};
}

}  // namespace unbcl
