#include "extract.hpp"

#include <sys/stat.h>
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

UniqueFd MemberExtractor::createOutput(const std::string& name) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;
    // A name that did not exist cannot be one of the archive's files, so a new file costs a
    // single call; only an existing one is checked before it is emptied.
    UniqueFd fd(::openat(directoryFd_, name.c_str(), kFlags | O_EXCL, 0666));
    if (fd) return fd;
    if (errno == EEXIST) fd = UniqueFd(::openat(directoryFd_, name.c_str(), kFlags, 0666));
    if (!fd) {
        diagnostics_.report(name, "cannot create: " + systemReason(errno));
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

void MemberExtractor::extractMember(const ListMLV& entry) {
    switch (judgeMemberName(entry.fname)) {
        case NameVerdict::Absolute:
            diagnostics_.report(entry.fname, "refused: absolute name");
            return;
        case NameVerdict::ParentStep:
            diagnostics_.report(entry.fname, "refused: name has a '..' component");
            return;
        case NameVerdict::Safe:
            break;
    }
    UniqueFd out = createOutput(entry.fname);
    if (!out) return;
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, out.get());
    const int closeErrno = out.close();
    reportCopy(entry, outcome, closeErrno);
}

void MemberExtractor::reportCopy(const ListMLV& entry, const CopyOutcome& outcome, int closeErrno) {
    if (outcome.writeErrno != 0 || closeErrno != 0) {
        diagnostics_.report(entry.fname,
                            "write error: " + systemReason(outcome.writeErrno != 0 ? outcome.writeErrno : closeErrno));
        return;
    }
    if (outcome.readErrno != 0) {
        diagnostics_.report(entry.fname, "read error in the data file: " + systemReason(outcome.readErrno));
        return;
    }
    if (entry.length < 0) {
        diagnostics_.report(entry.fname, "negative length " + std::to_string(entry.length) + ": empty file written");
        return;
    }
    const std::int64_t missing = entry.length - outcome.copied;
    if (missing == 0) return;
    const std::string counts =
        std::to_string(missing) + " of " + std::to_string(entry.length) + " bytes missing";
    if (entry.offset < 0) {
        diagnostics_.report(entry.fname, "negative offset " + std::to_string(entry.offset) + ": " + counts);
    } else {
        diagnostics_.report(entry.fname, "member runs past the end of the data file: " + counts);
    }
}

}  // namespace unbcl
