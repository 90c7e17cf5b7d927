// SPDX-License-Identifier: MIT
// bcl create: writes an index and a data file that read back, through unbcl, into the same files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <variant>

#include "commands.hpp"
#include "unbcl/archive_replace.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/index_reader.hpp"
#include "unbcl/member_copy.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/name_charset.hpp"

namespace unbcl::bcl {

namespace {

constexpr std::int64_t kLargestNumber = std::numeric_limits<std::int32_t>::max();
// The data file goes in first, so that whoever sees the new index finds the new data already in
// place; a reader that opened the old index may still pair it with the new data.
constexpr std::size_t kDataTarget = 0;
constexpr std::size_t kIndexTarget = 1;

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
    std::string name;        // the file's path, as given
    std::string storedName;  // the name the index holds: the path, in the code page when asked
    FileIdentity identity;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

std::optional<FileIdentity> identityOf(const ResolvedTarget& target) {
    if (!target.existing) return std::nullopt;
    return FileIdentity{target.existing->st_dev, target.existing->st_ino};
}

struct OpenInput {
    UniqueFd fd;
    struct stat status {};
};

// Opens an input without waiting: a FIFO with no writer would block a plain open. Only regular
// files are ever read, so anything else is refused from its status before it is opened at all;
// the status is taken again from the descriptor in case the name changed in between.
SysResult<OpenInput> openInput(const std::string& name) {
    struct stat byName {};
    if (::stat(name.c_str(), &byName) != 0) return SysResult<OpenInput>::failure(errno);
    if (S_ISDIR(byName.st_mode)) return SysResult<OpenInput>::failure(EISDIR);
    if (!S_ISREG(byName.st_mode)) return OpenInput{UniqueFd(), byName};
    OpenInput input{UniqueFd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)), {}};
    if (!input.fd || ::fstat(input.fd.get(), &input.status) != 0) return SysResult<OpenInput>::failure(errno);
    if (S_ISDIR(input.status.st_mode)) return SysResult<OpenInput>::failure(EISDIR);
    return input;
}

FileIdentity identityOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

// Why an index cannot hold a member of this length at this offset, or nothing when it can.
std::optional<std::string> numberProblem(std::int64_t offset, std::int64_t length) {
    const std::string limit = std::to_string(kLargestNumber);
    if (length > kLargestNumber) {
        return std::to_string(length) + " bytes long, past " + limit + ", the largest length an index holds";
    }
    if (offset > kLargestNumber) {
        return "it would start at byte " + std::to_string(offset) + ", past " + limit +
               ", the largest offset an index holds";
    }
    return std::nullopt;
}

// Checks every input before anything is written; each problem is reported.
std::vector<PlannedMember> planMembers(const ResolvedTarget& indexTarget, const ResolvedTarget& dataTarget,
                                       const CreateOptions& options, std::optional<NameCharset>& charset,
                                       Diagnostics& diagnostics) {
    std::vector<PlannedMember> planned;
    std::set<std::string> seen;
    const std::optional<FileIdentity> index = identityOf(indexTarget);
    const std::optional<FileIdentity> data = identityOf(dataTarget);
    std::int64_t offset = 0;
    for (const std::string& name : options.files) {
        std::string stored = name;
        if (charset) {
            SysResult<std::string> converted = charset->convert(name);
            if (!converted) {
                diagnostics.report(name, "refused: the name cannot be written in " + options.charset + ": " +
                                             systemReason(converted.error()));
                continue;
            }
            stored = std::move(*converted);
        }
        if (const auto problem = memberNameProblem(stored)) {
            diagnostics.report(name, "refused: " + *problem);
            continue;
        }
        if (!seen.insert(stored).second && !options.allowDuplicates) {
            diagnostics.report(name, "refused: named twice (--allow-duplicates keeps both)");
            continue;
        }
        const SysResult<OpenInput> file = openInput(name);
        if (!file) {
            diagnostics.report(name, "cannot read: " + systemReason(file.error()));
            continue;
        }
        if (!S_ISREG(file->status.st_mode)) {
            diagnostics.report(name, "refused: not a regular file");
            continue;
        }
        const FileIdentity identity = identityOf(file->status);
        if (identity == index || identity == data) {
            diagnostics.report(name, "refused: it is the archive being written");
            continue;
        }
        const auto length = static_cast<std::int64_t>(file->status.st_size);
        if (const auto problem = numberProblem(offset, length)) {
            diagnostics.report(name, "refused: " + *problem);
            continue;
        }
        planned.push_back({name, std::move(stored), identity, offset, length});
        offset += length;
    }
    return planned;
}

std::string indexText(const std::vector<std::string>& headers, const std::vector<PlannedMember>& members) {
    std::string text = (headers.size() > 0 ? headers[0] : std::string("BCL ARCHIVE")) + "\n";
    text += (headers.size() > 1 ? headers[1] : std::to_string(members.size()) + " FILES") + "\n";
    for (const PlannedMember& m : members) {
        text += "[" + m.storedName + "]\n" + std::to_string(m.offset) + "\n" + std::to_string(m.length) + "\n";
    }
    return text;
}

// Why a member's bytes are not what was planned for it, or nothing when they are. Bytes found
// past the planned length count as a change too: the index already says how long the member is.
std::optional<std::string> changeAfterCopy(const PlannedMember& m, const OpenInput& file, std::int64_t copied) {
    if (copied < m.length) return "it shrank below " + std::to_string(m.length) + " bytes";
    struct stat now {};
    if (::fstat(file.fd.get(), &now) != 0) return "cannot read: " + systemReason(errno);
    if (now.st_size > m.length) return "it grew past " + std::to_string(m.length) + " bytes";
    return std::nullopt;
}

bool copyMember(const PlannedMember& m, MemberCopier& copier, int dataFd, Diagnostics& diagnostics) {
    const SysResult<OpenInput> file = openInput(m.name);
    if (!file) {
        diagnostics.report(m.name, "cannot read: " + systemReason(file.error()));
        return false;
    }
    if (!(identityOf(file->status) == m.identity) || !file->fd) {
        diagnostics.report(m.name, "changed while the archive was written: another file has its name now");
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
    if (const auto change = changeAfterCopy(m, *file, outcome.copied)) {
        diagnostics.report(m.name, "changed while the archive was written: " + *change);
        return false;
    }
    return true;
}

bool copyMembers(const std::vector<PlannedMember>& members, int dataFd, Diagnostics& diagnostics) {
    MemberCopier copier;
    for (const PlannedMember& m : members) {
        if (!copyMember(m, copier, dataFd, diagnostics)) return false;
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
    SysResult<ResolvedTarget> index = resolveTarget(paths.index);
    SysResult<ResolvedTarget> data = resolveTarget(paths.data);
    for (const auto& [target, path] : {std::pair{&index, &paths.index}, {&data, &paths.data}}) {
        if (!*target) diagnostics.report(*path, "cannot write: " + systemReason(target->error()));
    }
    if (!index || !data) return kBclFailed;
    if (sameLocation(*index, *data)) {
        diagnostics.report(paths.data, "refused: the same file as the index, " + paths.index);
        return kBclCannotRun;
    }
    std::optional<NameCharset> charset;
    if (!options.charset.empty()) {
        SysResult<NameCharset> opened = NameCharset::open(options.charset, NameCharset::Direction::FromUtf8);
        if (!opened) {
            diagnostics.report(options.charset, "unknown character set: " + systemReason(opened.error()));
            return kBclCannotRun;
        }
        charset = std::move(*opened);
    }
    const std::vector<PlannedMember> members = planMembers(*index, *data, options, charset, diagnostics);
    if (diagnostics.anyReported()) return kBclFailed;

    std::vector<ResolvedTarget> targets;
    targets.push_back(std::move(*data));
    targets.push_back(std::move(*index));
    ReplacementStart started = FileSetReplacement::start(std::move(targets));
    if (const auto* failure = std::get_if<ReplaceFailure>(&started)) {
        diagnostics.report(failure->path, failure->reason);
        return kBclFailed;
    }
    FileSetReplacement& archive = std::get<FileSetReplacement>(started);
    if (!copyMembers(members, archive.fd(kDataTarget), diagnostics)) return kBclFailed;
    if (const int err = writeAll(archive.fd(kIndexTarget), indexText(options.headers, members)); err != 0) {
        diagnostics.report(paths.index, "cannot write: " + systemReason(err));
        return kBclFailed;
    }
    if (const auto failure = archive.commit()) {
        diagnostics.report(failure->path, failure->reason);
        return kBclFailed;
    }
    return kBclOk;
}

}  // namespace unbcl::bcl
