// SPDX-License-Identifier: MIT
#include "archive_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <variant>

#include "unbcl/index_reader.hpp"
#include "unbcl/member_copy.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/member_placement.hpp"

namespace unbcl::bcl {

namespace {

constexpr std::int64_t kLargestNumber = std::numeric_limits<std::int32_t>::max();
// The data file goes in first, so that whoever sees the new index finds the new data already in
// place; a reader that opened the old index may still pair it with the new data.
constexpr std::size_t kDataTarget = 0;
constexpr std::size_t kIndexTarget = 1;

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

// Why a member's bytes are not what was planned for it, or nothing when they are. Bytes found
// past the planned length count as a change too: the index already says how long the member is.
std::optional<std::string> changeAfterCopy(const PlannedMember& m, const OpenInput& file, std::int64_t copied) {
    if (copied < m.length) return "it shrank below " + std::to_string(m.length) + " bytes";
    struct stat now {};
    if (::fstat(file.fd.get(), &now) != 0) return "cannot read: " + systemReason(errno);
    if (now.st_size > m.length) return "it grew past " + std::to_string(m.length) + " bytes";
    return std::nullopt;
}

WriteOutcome copyFromFile(const PlannedMember& m, MemberCopier& copier, int dataFd, Diagnostics& diagnostics,
                          const HeldSignals* held) {
    const SysResult<OpenInput> file = openInput(m.source.path);
    if (!file) {
        diagnostics.report(m.shownName, "cannot read: " + systemReason(file.error()));
        return WriteOutcome::Failed;
    }
    if (!(identityOf(file->status) == m.source.identity) || !file->fd) {
        diagnostics.report(m.shownName, "changed while the archive was written: another file has its name now");
        return WriteOutcome::Failed;
    }
    const CopyOutcome outcome = copier.copy(file->fd.get(), 0, m.length, dataFd, held);
    if (outcome.interrupted) return WriteOutcome::Interrupted;
    if (outcome.writeErrno != 0) {
        diagnostics.report(m.shownName, "cannot write the data file: " + systemReason(outcome.writeErrno));
        return WriteOutcome::Failed;
    }
    if (outcome.readErrno != 0) {
        diagnostics.report(m.shownName, "read error: " + systemReason(outcome.readErrno));
        return WriteOutcome::Failed;
    }
    if (const auto change = changeAfterCopy(m, *file, outcome.copied)) {
        diagnostics.report(m.shownName, "changed while the archive was written: " + *change);
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

bool copyFromOldData(const PlannedMember& m, MemberCopier& copier, int oldDataFd, int dataFd,
                     Diagnostics& diagnostics) {
    const CopyOutcome outcome = copier.copy(oldDataFd, m.rangeStart, m.rangeLength, dataFd);
    if (outcome.writeErrno != 0) {
        diagnostics.report(m.shownName, "cannot write the data file: " + systemReason(outcome.writeErrno));
        return false;
    }
    if (outcome.readErrno != 0) {
        diagnostics.report(m.shownName, "read error in the data file: " + systemReason(outcome.readErrno));
        return false;
    }
    if (outcome.copied != m.rangeLength) {
        diagnostics.report(m.shownName, "the data file changed while the archive was written");
        return false;
    }
    return true;
}

// The ranges of the old data file that members copied from it cover, overlapping ones merged,
// in order: each is copied once, so members that shared bytes still share them.
std::vector<std::pair<std::int64_t, std::int64_t>> sharedOldRanges(const std::vector<PlannedMember>& members) {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;  // [start, end)
    for (const PlannedMember& m : members) {
        if (m.source.path.empty() && m.length > 0) spans.emplace_back(m.source.oldOffset, m.source.oldOffset + m.length);
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::int64_t, std::int64_t>> merged;
    for (const auto& span : spans) {
        if (!merged.empty() && span.first < merged.back().second) {
            merged.back().second = std::max(merged.back().second, span.second);
        } else {
            merged.push_back(span);
        }
    }
    return merged;
}

// An index line holds at most 98 characters; a name of 97 fits when its line needs no
// opening bracket, which is so whenever the name does not itself begin with one.
std::string nameLine(const std::string& stored) {
    if (stored.size() + 2 <= IndexReader::kMaxLineChars || (!stored.empty() && stored.front() == '[')) {
        return "[" + stored + "]";
    }
    return stored + "]";
}

}  // namespace

std::optional<std::string> lineProblem(std::string_view text) {
    if (text.find('\n') != std::string_view::npos) return "holds a line feed";
    if (text.find('\r') != std::string_view::npos) return "holds a carriage return";
    if (text.find('\0') != std::string_view::npos) return "holds a NUL byte";
    if (text.find('\x1a') != std::string_view::npos) return "holds a 0x1A byte, which ends an index";
    return std::nullopt;
}

std::optional<std::string> memberNameProblem(std::string_view stored) {
    if (stored.empty()) return "empty name";
    if (auto problem = lineProblem(stored)) return "name " + *problem;
    // The name line is "[" + name + "]" and an index line holds at most 98 characters.
    if (stored.size() + 2 > IndexReader::kMaxLineChars) {
        return "name longer than " + std::to_string(IndexReader::kMaxLineChars - 2) + " characters";
    }
    if (const NameVerdict verdict = judgeMemberName(stored); verdict != NameVerdict::Safe) {
        return std::string(describeNameVerdict(verdict));
    }
    return std::nullopt;
}

bool checkHeaders(const std::vector<std::string>& headers, Diagnostics& diagnostics) {
    if (headers.size() > 2) {
        diagnostics.reportPlain("at most two header lines (-H) can be given");
        return false;
    }
    bool fine = true;
    for (const std::string& header : headers) {
        if (const auto problem = lineProblem(header)) {
            diagnostics.report(header, "refused header line: " + *problem);
            fine = false;
        } else if (header.size() > IndexReader::kMaxLineChars) {
            diagnostics.report(header, "refused header line: longer than 98 characters");
            fine = false;
        }
    }
    return fine;
}

void keepHeaders(ArchivePlan& plan, const LoadedIndex& old) {
    plan.header1 = old.header1;
    plan.header2 = old.header2 == std::to_string(old.entries.size()) + " FILES" ? std::string() : old.header2;
}

bool layOutMembers(std::vector<PlannedMember>& members, std::int64_t start, std::int64_t align,
                   Diagnostics& diagnostics) {
    const std::string limit = std::to_string(kLargestNumber);
    const auto ranges = sharedOldRanges(members);
    std::vector<std::int64_t> rangePlacedAt(ranges.size(), -1);
    std::int64_t offset = start;
    const auto placeNext = [&offset, align](std::int64_t bytes) {
        offset = (offset + align - 1) / align * align;
        const std::int64_t at = offset;
        offset += bytes;
        return at;
    };
    bool fine = true;
    for (PlannedMember& m : members) {
        if (m.length > kLargestNumber) {
            diagnostics.report(m.shownName, "refused: " + std::to_string(m.length) + " bytes long, past " + limit +
                                                ", the largest length an index holds");
            fine = false;
            continue;
        }
        if (m.length <= 0) {
            // Empty members take no room, so they need no alignment either.
            m.offset = offset;
            // Nothing to copy; a file, even an empty one, is still opened to see it unchanged.
            if (m.source.path.empty()) m.writesBytes = false;
        } else if (m.source.path.empty()) {
            const auto range = std::prev(std::upper_bound(ranges.begin(), ranges.end(),
                                                          std::pair{m.source.oldOffset, kLargestNumber + 1}));
            const auto r = static_cast<std::size_t>(range - ranges.begin());
            m.writesBytes = rangePlacedAt[r] < 0;
            if (m.writesBytes) {
                rangePlacedAt[r] = placeNext(range->second - range->first);
                m.rangeStart = range->first;
                m.rangeLength = range->second - range->first;
            }
            m.offset = rangePlacedAt[r] + (m.source.oldOffset - range->first);
        } else {
            // A file named twice gets two copies, as create has always written it.
            m.offset = placeNext(m.length);
        }
        if (m.offset > kLargestNumber) {
            diagnostics.report(m.shownName, "refused: it would start at byte " + std::to_string(m.offset) + ", past " +
                                                limit + ", the largest offset an index holds");
            fine = false;
        }
    }
    return fine;
}

std::string indexText(const ArchivePlan& plan) {
    std::string text = plan.header1 + "\n";
    text += (plan.header2.empty() ? std::to_string(plan.members.size()) + " FILES" : plan.header2) + "\n";
    for (const PlannedMember& m : plan.members) {
        text += nameLine(m.storedName) + "\n" + std::to_string(m.offset) + "\n" + std::to_string(m.length) + "\n";
    }
    return text;
}

WriteOutcome writeMembers(const std::vector<PlannedMember>& members, int dataFd, int oldDataFd, Console* verbose,
                          Diagnostics& diagnostics, const HeldSignals* held) {
    MemberCopier copier;
    for (const PlannedMember& m : members) {
        if (held && held->pending()) return WriteOutcome::Interrupted;
        const bool fromFile = !m.source.path.empty();
        if (m.writesBytes) {
            const std::int64_t at = fromFile ? m.offset : m.offset - (m.source.oldOffset - m.rangeStart);
            if (::lseek(dataFd, at, SEEK_SET) < 0) {
                diagnostics.report(m.shownName, "cannot write the data file: " + systemReason(errno));
                return WriteOutcome::Failed;
            }
            if (!fromFile) {
                if (!copyFromOldData(m, copier, oldDataFd, dataFd, diagnostics)) return WriteOutcome::Failed;
            } else if (const WriteOutcome copied = copyFromFile(m, copier, dataFd, diagnostics, held);
                       copied != WriteOutcome::Written) {
                return copied;
            }
        }
        if (verbose && fromFile) verbose->write(escapeControlBytes(m.shownName) + "\n");
    }
    return held && held->pending() ? WriteOutcome::Interrupted : WriteOutcome::Written;
}

std::int64_t endOfMembers(const std::vector<PlannedMember>& members, std::int64_t start) {
    std::int64_t end = start;
    for (const PlannedMember& m : members) end = std::max(end, m.offset + m.length);
    return end;
}

std::vector<PlannedMember> keptMembers(const LoadedIndex& old) {
    std::vector<PlannedMember> members;
    for (const ListMLV& e : old.entries) {
        const std::string name(e.fname);
        members.push_back({name, name, {{}, {}, e.offset}, e.length, e.offset});
    }
    return members;
}

bool openWritingCharset(const std::string& name, std::optional<NameCharset>& charset, Diagnostics& diagnostics) {
    if (name.empty()) return true;
    SysResult<NameCharset> opened = NameCharset::open(name, NameCharset::Direction::FromUtf8);
    if (!opened) {
        diagnostics.report(name, "unknown character set: " + systemReason(opened.error()));
        return false;
    }
    charset = std::move(*opened);
    return true;
}

std::optional<FilesToAdd> prepareFilesToAdd(const AddOptions& options, Diagnostics& diagnostics, int& exitCode) {
    FilesToAdd add;
    exitCode = kBclCannotRun;
    if (!openWritingCharset(options.charset, add.charset, diagnostics)) return std::nullopt;
    exitCode = kBclFailed;
    add.files = gatherInputs(options.inputs, diagnostics);
    if (diagnostics.anyReported()) return std::nullopt;
    return add;
}

std::vector<PlannedMember> planNewMembers(const std::vector<FileToAdd>& inputs, const AddOptions& options,
                                          const ArchiveUnderLock& archive, std::optional<NameCharset>& charset,
                                          std::set<std::string, std::less<>>& taken, Diagnostics& diagnostics) {
    std::vector<PlannedMember> planned;
    for (const FileToAdd& input : inputs) {
        std::string stored = input.name;
        if (charset) {
            SysResult<std::string> converted = charset->convert(input.name);
            if (!converted) {
                diagnostics.report(input.name, "refused: the name cannot be written in " + options.charset + ": " +
                                                   systemReason(converted.error()));
                continue;
            }
            stored = std::move(*converted);
        }
        if (const auto problem = memberNameProblem(stored)) {
            diagnostics.report(input.name, "refused: " + *problem);
            continue;
        }
        // bcl reads a backslash as a separator and a drive letter as absolute: such a name would
        // not come back as the file it was made from. Judged on the name before a code page
        // turns it into bytes, as bcl reads it back: converted first, then split.
        if (!options.literalNames && input.name.find('\\') != std::string::npos) {
            diagnostics.report(input.name, "refused: name holds a backslash, a directory separator to bcl "
                                           "(--literal-names keeps it)");
            continue;
        }
        if (const NameVerdict verdict = judgeMemberName(input.name, NameStyle::Dos);
            !options.literalNames && verdict != NameVerdict::Safe) {
            diagnostics.report(input.name, "refused: " + std::string(describeNameVerdict(verdict)));
            continue;
        }
        if (!taken.insert(stored).second && !options.allowDuplicates) {
            diagnostics.report(input.name, "refused: named twice (--allow-duplicates keeps both)");
            continue;
        }
        if (input.identity == archive.index || input.identity == archive.data) {
            diagnostics.report(input.name, "refused: it is the archive being written");
            continue;
        }
        planned.push_back({input.name, std::move(stored), {input.path, input.identity, 0}, input.length, 0});
    }
    return planned;
}

namespace {

// Whether a member has all its bytes in a data file of dataSize bytes; reported when not.
bool memberIsWhole(std::string_view name, std::int32_t offset, std::int32_t length, std::int64_t dataSize,
                   Diagnostics& diagnostics) {
    const MemberPlacement placement = judgeMemberPlacement(offset, length, bytesInDataFile(offset, length, dataSize));
    if (placement.placement == Placement::Whole) return true;
    diagnostics.report(name, "refused to rewrite: " + describePlacement(placement, offset, length) +
                                 " (deleting or updating it repairs the archive)");
    return false;
}

// Checks that every member whose bytes a rewrite copies from the old data file has them all:
// the copy would otherwise shorten it silently. Members being removed or replaced may be
// broken, which is how a broken archive is repaired.
bool copiedMembersAreWhole(const std::vector<PlannedMember>& members, int oldDataFd, const std::string& dataPath,
                           Diagnostics& diagnostics) {
    const SysResult<std::int64_t> dataSize = fileSize(oldDataFd);
    if (!dataSize) {
        diagnostics.report(dataPath, "cannot read: " + systemReason(dataSize.error()));
        return false;
    }
    bool whole = true;
    for (const PlannedMember& m : members) {
        if (!m.source.path.empty()) continue;
        // A kept member's numbers are the old index's own, which are 32-bit.
        whole = memberIsWhole(m.shownName, static_cast<std::int32_t>(m.source.oldOffset),
                              static_cast<std::int32_t>(m.length), *dataSize, diagnostics) &&
                whole;
    }
    return whole;
}

}  // namespace

bool oldMembersAreWhole(const LoadedIndex& old, std::int64_t dataSize, Diagnostics& diagnostics) {
    bool whole = true;
    for (const ListMLV& e : old.entries) whole = memberIsWhole(e.fname, e.offset, e.length, dataSize, diagnostics) && whole;
    return whole;
}

std::optional<IndexRewrite> startIndexRewrite(const ArchivePaths& paths, Diagnostics& diagnostics, int& exitCode) {
    exitCode = kBclFailed;
    SysResult<ResolvedTarget> index = resolveTarget(paths.index);
    SysResult<ResolvedTarget> data = resolveTarget(paths.data);
    for (const auto& [target, path] : {std::pair{&index, &paths.index}, {&data, &paths.data}}) {
        if (!*target) diagnostics.report(*path, "cannot write: " + systemReason(target->error()));
    }
    if (!index || !data) return std::nullopt;
    if (sameLocation(*index, *data)) {
        diagnostics.report(paths.data, "refused: the same file as the index, " + paths.index);
        exitCode = kBclCannotRun;
        return std::nullopt;
    }
    std::vector<ResolvedTarget> targets;
    targets.push_back(std::move(*index));
    std::vector<ResolvedTarget> lockedOnly;
    lockedOnly.push_back(std::move(*data));
    ReplacementStart started = FileSetReplacement::start(std::move(targets), std::move(lockedOnly));
    if (const auto* failure = std::get_if<ReplaceFailure>(&started)) {
        diagnostics.report(failure->path, failure->reason);
        return std::nullopt;
    }
    exitCode = kBclCannotRun;
    std::optional<LoadedIndex> old = loadIndex(paths.index, diagnostics);
    if (!old) return std::nullopt;
    if (!old->complete) {
        diagnostics.report(paths.index, "refused to rewrite: reading it stopped early, and what follows would be lost");
        return std::nullopt;
    }
    FileSetReplacement& replacement = std::get<FileSetReplacement>(started);
    const std::optional<FileIdentity> existing = replacement.existing(0);
    return IndexRewrite{std::move(replacement), std::move(*old), existing};
}

IndexRewriteResult finishIndexRewrite(IndexRewrite& rewrite, const ArchivePlan& plan, const std::string& indexPath,
                                      Diagnostics& diagnostics) {
    if (const int err = writeAll(rewrite.replacement.fd(0), indexText(plan)); err != 0) {
        diagnostics.report(indexPath, "cannot write: " + systemReason(err));
        return IndexRewriteResult::NotDone;
    }
    if (const auto failure = rewrite.replacement.commit()) {
        diagnostics.report(failure->path, failure->reason);
        return failure->inPlace ? IndexRewriteResult::InPlaceUnsynced : IndexRewriteResult::NotDone;
    }
    return IndexRewriteResult::Done;
}

int rewriteArchive(const ArchivePaths& paths, const RewriteOptions& options,
                   const std::function<std::optional<ArchivePlan>(const ArchiveUnderLock&)>& makePlan,
                   const StandardStreams& streams, Diagnostics& diagnostics) {
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
    std::vector<ResolvedTarget> targets;
    targets.push_back(std::move(*data));
    targets.push_back(std::move(*index));
    ReplacementStart started = FileSetReplacement::start(std::move(targets));
    if (const auto* failure = std::get_if<ReplaceFailure>(&started)) {
        diagnostics.report(failure->path, failure->reason);
        return kBclFailed;
    }
    FileSetReplacement& archive = std::get<FileSetReplacement>(started);

    // Read under the lock, so that no other writer's archive slips in between.
    ArchiveUnderLock current{archive.existing(kIndexTarget), archive.existing(kDataTarget), nullptr, -1};
    std::optional<LoadedIndex> old;
    std::optional<InputFile> oldData;
    if (options.readOld) {
        old = loadIndex(paths.index, diagnostics);
        if (!old) return kBclCannotRun;
        if (!old->complete) {
            diagnostics.report(paths.index, "refused to rewrite: reading it stopped early, and what follows would be lost");
            return kBclCannotRun;
        }
        oldData = openDataOrReport(paths.data, diagnostics);
        if (!oldData) return kBclCannotRun;
        current.old = &*old;
        current.oldDataFd = oldData->fd.get();
    }
    std::optional<ArchivePlan> plan = makePlan(current);
    if (!plan) return kBclFailed;
    if (options.readOld && !copiedMembersAreWhole(plan->members, current.oldDataFd, paths.data, diagnostics)) {
        return kBclFailed;
    }
    if (!layOutMembers(plan->members, 0, options.align, diagnostics)) return kBclFailed;

    Console verbose(streams.out, false);
    if (writeMembers(plan->members, archive.fd(kDataTarget), current.oldDataFd, options.verbose ? &verbose : nullptr,
                     diagnostics) != WriteOutcome::Written) {
        return kBclFailed;
    }
    // The data file ends with its last member's bytes, even when that member is empty and the
    // one before it left a gap.
    if (::ftruncate(archive.fd(kDataTarget), endOfMembers(plan->members, 0)) != 0) {
        diagnostics.report(paths.data, "cannot write: " + systemReason(errno));
        return kBclFailed;
    }
    if (const int err = writeAll(archive.fd(kIndexTarget), indexText(*plan)); err != 0) {
        diagnostics.report(paths.index, "cannot write: " + systemReason(err));
        return kBclFailed;
    }
    if (const auto failure = archive.commit()) {
        diagnostics.report(failure->path, failure->reason);
        return kBclFailed;
    }
    if (verbose.error() != 0) diagnostics.reportPlain("standard output: " + systemReason(verbose.error()));
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl
