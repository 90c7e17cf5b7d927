// bcl create: writes an index and a data file that read back, through unbcl, into the same files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string_view>

#include "commands.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/index_reader.hpp"
#include "unbcl/member_copy.hpp"
#include "unbcl/member_name.hpp"

namespace unbcl::bcl {

namespace {

constexpr std::int64_t kLargestNumber = std::numeric_limits<std::int32_t>::max();

// Why a text cannot stand on an index line of its own, or nothing when it can.
std::optional<std::string> lineProblem(std::string_view text) {
    if (text.find('\n') != std::string_view::npos) return "holds a line feed";
    if (text.find('\r') != std::string_view::npos) return "holds a carriage return";
    if (text.find('\0') != std::string_view::npos) return "holds a NUL byte";
    if (text.find('\x1a') != std::string_view::npos) return "holds a 0x1A byte, which ends an index";
    return std::nullopt;
}

// Why a file name cannot be a member name that extracts back to the same file.
std::optional<std::string> memberNameProblem(const std::string& name) {
    if (name.empty()) return "empty name";
    if (auto problem = lineProblem(name)) return "name " + *problem;
    // The name line is "[" + name + "]" and an index line holds at most 98 characters.
    if (name.size() + 2 > IndexReader::kMaxLineChars) {
        return "name longer than " + std::to_string(IndexReader::kMaxLineChars - 2) + " characters";
    }
    if (const NameVerdict verdict = judgeMemberName(name); verdict != NameVerdict::Safe) {
        return std::string(describeNameVerdict(verdict));
    }
    return std::nullopt;
}

struct PlannedMember {
    std::string name;
    FileIdentity identity;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

std::optional<FileIdentity> existingIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

// Checks every input before anything is written; each problem is reported.
std::vector<PlannedMember> planMembers(const ArchivePaths& paths, const CreateOptions& options,
                                       Diagnostics& diagnostics) {
    std::vector<PlannedMember> planned;
    std::set<std::string> seen;
    const std::optional<FileIdentity> index = existingIdentity(paths.index);
    const std::optional<FileIdentity> data = existingIdentity(paths.data);
    std::int64_t offset = 0;
    for (const std::string& name : options.files) {
        if (const auto problem = memberNameProblem(name)) {
            diagnostics.report(name, "refused: " + *problem);
            continue;
        }
        if (!seen.insert(name).second && !options.allowDuplicates) {
            diagnostics.report(name, "refused: named twice (--allow-duplicates keeps both)");
            continue;
        }
        const SysResult<InputFile> file = openInputFile(name);
        if (!file) {
            diagnostics.report(name, "cannot read: " + systemReason(file.error()));
            continue;
        }
        struct stat st {};
        if (::fstat(file->fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            diagnostics.report(name, "refused: not a regular file");
            continue;
        }
        if (file->identity == index || file->identity == data) {
            diagnostics.report(name, "refused: it is the archive being written");
            continue;
        }
        const auto length = static_cast<std::int64_t>(st.st_size);
        if (length > kLargestNumber || offset > kLargestNumber) {
            diagnostics.report(name, "refused: the archive would pass " + std::to_string(kLargestNumber) +
                                         " bytes, the largest offset and length an index holds");
            continue;
        }
        planned.push_back({name, file->identity, offset, length});
        offset += length;
    }
    return planned;
}

std::string indexText(const std::vector<std::string>& headers, const std::vector<PlannedMember>& members) {
    std::string text = (headers.size() > 0 ? headers[0] : std::string("BCL ARCHIVE")) + "\n";
    text += (headers.size() > 1 ? headers[1] : std::to_string(members.size()) + " FILES") + "\n";
    for (const PlannedMember& m : members) {
        text += "[" + m.name + "]\n" + std::to_string(m.offset) + "\n" + std::to_string(m.length) + "\n";
    }
    return text;
}

// A file written beside its target and renamed over it only when complete; removed otherwise.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : target_(target), path_(target + ".XXXXXX") {
        fd_ = UniqueFd(::mkstemp(path_.data()));
        if (!fd_) {
            error_ = errno;
            path_.clear();
            return;
        }
        // mkstemp makes 0600; an archive gets the usual permissions.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (::fchmod(fd_.get(), 0666 & ~mask) != 0) error_ = errno;
    }
    ~TemporaryFile() {
        fd_.reset();
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_.get(); }
    int error() const { return error_; }

    // Makes the bytes durable, then closes; returns 0 or the errno of the failure.
    int finish() {
        if (::fsync(fd_.get()) != 0) return errno;
        return fd_.close();
    }
    int renameIntoPlace() {
        if (::rename(path_.c_str(), target_.c_str()) != 0) return errno;
        path_.clear();
        return 0;
    }

private:
    std::string target_;
    std::string path_;
    UniqueFd fd_;
    int error_ = 0;
};

bool copyMembers(const std::vector<PlannedMember>& members, int dataFd, Diagnostics& diagnostics) {
    MemberCopier copier;
    for (const PlannedMember& m : members) {
        const SysResult<InputFile> file = openInputFile(m.name);
        if (!file || !(file->identity == m.identity)) {
            diagnostics.report(m.name, "changed while the archive was written");
            return false;
        }
        const CopyOutcome outcome = copier.copy(file->fd.get(), 0, m.length, dataFd);
        if (outcome.writeErrno != 0) {
            diagnostics.report(m.name, "cannot write the data file: " + systemReason(outcome.writeErrno));
            return false;
        }
        if (outcome.readErrno != 0) {
            diagnostics.report(m.name, "read error: " + systemReason(outcome.readErrno));
            return false;
        }
        if (outcome.copied != m.length) {
            diagnostics.report(m.name, "changed while the archive was written");
            return false;
        }
    }
    return true;
}

}  // namespace

int createArchive(const ArchivePaths& paths, const CreateOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    if (options.headers.size() > 2) {
        diagnostics.reportPlain("at most two header lines (-H) can be given");
        return kBclCannotRun;
    }
    for (const std::string& header : options.headers) {
        if (const auto problem = lineProblem(header)) {
            diagnostics.report(header, "refused header line: " + *problem);
        } else if (header.size() > IndexReader::kMaxLineChars) {
            diagnostics.report(header, "refused header line: longer than 98 characters");
        }
    }
    const std::optional<FileIdentity> indexIdentity = existingIdentity(paths.index);
    if (paths.index == paths.data || (indexIdentity && indexIdentity == existingIdentity(paths.data))) {
        diagnostics.reportPlain("the index and the data file must be two different files");
        return kBclCannotRun;
    }
    const std::vector<PlannedMember> members = planMembers(paths, options, diagnostics);
    if (diagnostics.anyReported()) return kBclFailed;

    TemporaryFile data(paths.data);
    TemporaryFile index(paths.index);
    for (const auto& [file, target] : {std::pair{&data, &paths.data}, {&index, &paths.index}}) {
        if (file->error() != 0) {
            diagnostics.report(*target, "cannot write: " + systemReason(file->error()));
            return kBclFailed;
        }
    }
    if (!copyMembers(members, data.fd(), diagnostics)) return kBclFailed;
    if (const int err = writeAll(index.fd(), indexText(options.headers, members)); err != 0) {
        diagnostics.report(paths.index, "cannot write: " + systemReason(err));
        return kBclFailed;
    }
    for (const auto& [file, target] : {std::pair{&data, &paths.data}, {&index, &paths.index}}) {
        if (const int err = file->finish(); err != 0) {
            diagnostics.report(*target, "cannot write: " + systemReason(err));
            return kBclFailed;
        }
    }
    // Both files are complete before either replaces what was there.
    for (const auto& [file, target] : {std::pair{&data, &paths.data}, {&index, &paths.index}}) {
        if (const int err = file->renameIntoPlace(); err != 0) {
            diagnostics.report(*target, "cannot replace: " + systemReason(err));
            return kBclFailed;
        }
    }
    return kBclOk;
}

}  // namespace unbcl::bcl
