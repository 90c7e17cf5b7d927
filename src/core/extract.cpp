#include "unbcl/extract.hpp"

#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "unbcl/member_name.hpp"

namespace unbcl {

std::vector<ProtectedFile> archiveFilesToProtect(const FileIdentity& index, const FileIdentity& data) {
    return {{index, "the index file"}, {data, "the data file"}};
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
        diagnostics_.report(name, "refused: output would overwrite " + std::string(p->description));
        return {};
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) {
        diagnostics_.report(name, "cannot create: " + systemReason(errno));
        return {};
    }
    return fd;
}

std::int64_t MemberExtractor::extractMember(const ListMLV& entry) {
    if (const NameVerdict verdict = judgeMemberName(entry.fname); verdict != NameVerdict::Safe) {
        diagnostics_.report(entry.fname, "refused: " + std::string(describeNameVerdict(verdict)));
        return 0;
    }
    UniqueFd out = createOutput(std::string(entry.fname));
    if (!out) return 0;
    const CopyOutcome outcome = copier_.copy(dataFd_, entry.offset, entry.length, out.get());
    const int closeErrno = out.close();
    reportCopyOutcome(diagnostics_, entry, outcome, closeErrno, CopyTarget::File);
    return outcome.copied;
}

}  // namespace unbcl
