#include "extract.hpp"

#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "member_name.hpp"

namespace unbcl {

namespace {

// copy_file_range errors that mean "not here", not "failed".
bool kernelCopyUnsupported(int err) { return err == ENOSYS || err == EXDEV || err == EOPNOTSUPP; }

}  // namespace

CopyOutcome MemberCopier::copy(int dataFd, std::int64_t offset, std::int64_t length, int outFd) {
    CopyOutcome outcome;
    if (offset < 0 || length <= 0) return outcome;
    if (kernelCopyUsable_) copyWithKernel(dataFd, offset, length, outFd, outcome);
    if (outcome.copied < length) copyThroughBuffer(dataFd, offset, length, outFd, outcome);
    return outcome;
}

void MemberCopier::copyWithKernel(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                                  CopyOutcome& outcome) {
    constexpr std::int64_t kMaxChunk = std::int64_t{1} << 30;
    while (outcome.copied < length) {
        loff_t from = offset + outcome.copied;
        const auto chunk = static_cast<std::size_t>(std::min(length - outcome.copied, kMaxChunk));
        const ssize_t n = ::copy_file_range(dataFd, &from, outFd, nullptr, chunk, 0);
        if (n > 0) {
            outcome.copied += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && kernelCopyUnsupported(errno)) kernelCopyUsable_ = false;
        // A zero may be the data file's end or a file system that copies nothing, and an error
        // does not say which side failed: the plain path tells these apart for the rest.
        return;
    }
}

void MemberCopier::copyThroughBuffer(int dataFd, std::int64_t offset, std::int64_t length, int outFd,
                                     CopyOutcome& outcome) {
    if (!block_) block_ = std::make_unique<char[]>(kBlockSize);
    while (outcome.copied < length) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(length - outcome.copied, static_cast<std::int64_t>(kBlockSize)));
        const ssize_t n = ::pread(dataFd, block_.get(), want, offset + outcome.copied);
        if (n < 0) {
            if (errno == EINTR) continue;
            outcome.readErrno = errno;
            return;
        }
        if (n == 0) return;  // the data file ends here
        if (const int err = writeAll(outFd, {block_.get(), static_cast<std::size_t>(n)}); err != 0) {
            outcome.writeErrno = err;
            return;
        }
        outcome.copied += n;
    }
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

bool MemberExtractor::makeParentDirectories(const std::string& name) {
    // Each directory is made inside its parent, which was itself opened beneath the extraction
    // directory, so no link can carry a new directory outside.
    UniqueFd parent;
    for (auto slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        const std::string prefix = name.substr(0, slash);
        const std::string component = prefix.substr(prefix.rfind('/') + 1);
        if (component.empty() || component == ".") continue;
        UniqueFd dir(openOutput(prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir && errno == ENOENT) {
            const int parentFd = parent ? parent.get() : policy_.directoryFd;
            if (::mkdirat(parentFd, component.c_str(), 0777) != 0 && errno != EEXIST) {
                diagnostics_.report(name, "cannot create directory " + escapeControlBytes(prefix) + ": " +
                                              systemReason(errno));
                return false;
            }
            dir = UniqueFd(openOutput(prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        if (!dir) {
            diagnostics_.report(name, errno == EXDEV ? "refused: a symbolic link leads out of the extraction directory"
                                                     : "cannot create directory " + escapeControlBytes(prefix) +
                                                           ": " + systemReason(errno));
            return false;
        }
        parent = std::move(dir);
    }
    return true;
}

UniqueFd MemberExtractor::createOutput(const std::string& name) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;
    if (policy_.createDirectories && !makeParentDirectories(name)) return {};
    // A name that did not exist cannot be one of the archive's files, so a new file costs a
    // single call; only an existing one is checked before it is emptied.
    UniqueFd fd(openOutput(name, kFlags | O_EXCL));
    if (fd) return fd;
    if (errno == EEXIST && policy_.keepExisting) {
        diagnostics_.note(name, "kept the existing file");
        return {};
    }
    if (errno == EEXIST) fd = UniqueFd(openOutput(name, kFlags));
    if (!fd) {
        diagnostics_.report(name, errno == EXDEV ? "refused: a symbolic link leads out of the extraction directory"
                                                 : "cannot create: " + systemReason(errno));
        return {};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        diagnostics_.report(name, "cannot create: " + systemReason(errno));
        return {};
    }
    if (const ProtectedFile* p = protectedFileFor({st.st_dev, st.st_ino})) {
        diagnostics_.report(name, "refused: output would overwrite " + p->description);
        return {};
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) {
        diagnostics_.report(name, "cannot create: " + systemReason(errno));
        return {};
    }
    return fd;
}

std::int64_t MemberExtractor::extractMember(const ListMLV& entry) {
    switch (judgeMemberName(entry.fname)) {
        case NameVerdict::Absolute:
            diagnostics_.report(entry.fname, "refused: absolute name");
            return 0;
        case NameVerdict::ParentStep:
            diagnostics_.report(entry.fname, "refused: name has a '..' component");
            return 0;
        case NameVerdict::Safe:
            break;
    }
    UniqueFd out = createOutput(entry.fname);
    if (!out) return 0;
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, out.get());
    const int closeErrno = out.close();
    reportCopyOutcome(diagnostics_, entry, outcome, closeErrno);
    return outcome.copied;
}

void reportCopyOutcome(Diagnostics& diagnostics, const ListMLV& entry, const CopyOutcome& outcome, int closeErrno) {
    if (outcome.writeErrno != 0 || closeErrno != 0) {
        diagnostics.report(entry.fname,
                            "write error: " + systemReason(outcome.writeErrno != 0 ? outcome.writeErrno : closeErrno));
        return;
    }
    if (outcome.readErrno != 0) {
        diagnostics.report(entry.fname, "read error in the data file: " + systemReason(outcome.readErrno));
        return;
    }
    if (entry.length < 0) {
        diagnostics.report(entry.fname, "negative length " + std::to_string(entry.length) + ": empty file written");
        return;
    }
    const std::int64_t missing = entry.length - outcome.copied;
    if (missing == 0) return;
    const std::string counts =
        std::to_string(missing) + " of " + std::to_string(entry.length) + " bytes missing";
    if (entry.offset < 0) {
        diagnostics.report(entry.fname, "negative offset " + std::to_string(entry.offset) + ": " + counts);
    } else {
        diagnostics.report(entry.fname, "member runs past the end of the data file: " + counts);
    }
}

}  // namespace unbcl
