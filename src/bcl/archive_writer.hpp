// SPDX-License-Identifier: MIT
// Writing an archive: the rules a new index must keep to read back the same, laying members
// out in the data file, and replacing both files together under the writers' lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "input_files.hpp"
#include "unbcl/archive_replace.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/held_signals.hpp"
#include "unbcl/name_charset.hpp"

namespace unbcl::bcl {

// Where a member's bytes come from: a file to read, or a range of the archive's old data file.
struct MemberSource {
    std::string path;  // empty: the old data file
    FileIdentity identity;
    std::int64_t oldOffset = 0;
};

struct PlannedMember {
    std::string shownName;   // in reports and -v
    std::string storedName;  // what the index holds
    MemberSource source;
    std::int64_t length = 0;
    std::int64_t offset = 0;  // where it goes in the new data file
    // Set by layOutMembers. Members that share bytes of the old data file (overlapping ranges)
    // keep sharing them: only the first of them writes, the whole shared range, rangeLength
    // bytes from rangeStart, placed so that this member lands at offset.
    bool writesBytes = true;
    std::int64_t rangeStart = 0;
    std::int64_t rangeLength = 0;
};

struct ArchivePlan {
    std::string header1 = "BCL ARCHIVE";
    std::string header2;  // empty: "N FILES"
    std::vector<PlannedMember> members;
};

// Why a text cannot stand on an index line of its own, or nothing when it can.
std::optional<std::string> lineProblem(std::string_view text);
// Why a name cannot be a member name that reads back the same, or nothing when it can.
std::optional<std::string> memberNameProblem(std::string_view stored);
// Checks -H texts; each problem is reported.
bool checkHeaders(const std::vector<std::string>& headers, Diagnostics& diagnostics);

// The header lines a rewritten archive keeps: its own, with a count of files brought up to
// date when the second line was one.
void keepHeaders(ArchivePlan& plan, const LoadedIndex& old);

// Gives members their offsets, back to back from start in index order, each at a multiple of
// align (a power of two); members that share old bytes keep sharing them, written once. A member
// an index could not describe (offset or length past 2147483647) is reported; returns false
// when any was.
bool layOutMembers(std::vector<PlannedMember>& members, std::int64_t start, std::int64_t align,
                   Diagnostics& diagnostics);

std::string indexText(const ArchivePlan& plan);

// Where the data file ends once the members are in place: at start, or past the last member.
std::int64_t endOfMembers(const std::vector<PlannedMember>& members, std::int64_t start);

// The members of an archive as they stand, to be written back unchanged.
std::vector<PlannedMember> keptMembers(const LoadedIndex& old);

enum class WriteOutcome {
    Written,
    Failed,       // reported
    Interrupted,  // a held signal came: the caller undoes what it wrote, then lets it through
};

// Copies every member to its offset in dataFd, from its file (which must still be the file
// planned, with the length planned) or from oldDataFd. Gaps before aligned members stay holes,
// which read as zeros. -v names each member as it is copied. With held, the copy stops at the
// next safe point, between members or between pieces of a large one, once a signal is pending.
WriteOutcome writeMembers(const std::vector<PlannedMember>& members, int dataFd, int oldDataFd, Console* verbose,
                          Diagnostics& diagnostics, const HeldSignals* held = nullptr);

// What a command sees of the archive it rewrites, under the writers' lock.
struct ArchiveUnderLock {
    std::optional<FileIdentity> index;  // the files there now, if any
    std::optional<FileIdentity> data;
    const LoadedIndex* old = nullptr;  // with readOld: the archive as it is
    int oldDataFd = -1;
};

struct RewriteOptions {
    bool readOld = false;  // the plan starts from the archive as it is
    std::int64_t align = 1;
    bool verbose = false;
};

// Replaces the index and data file by the plan makePlan gives (nothing: it reported why not;
// a plan given after a report is still written, and the exit code is 1),
// with the previous archive untouched on any failure and nothing left behind. Returns the exit
// code.
int rewriteArchive(const ArchivePaths& paths, const RewriteOptions& options,
                   const std::function<std::optional<ArchivePlan>(const ArchiveUnderLock&)>& makePlan,
                   const StandardStreams& streams, Diagnostics& diagnostics);

// The code page names are written in, when asked for: false, reported, when iconv does not
// know it.
bool openWritingCharset(const std::string& name, std::optional<NameCharset>& charset, Diagnostics& diagnostics);

// The files a command adds and the code page their names are written in.
struct FilesToAdd {
    std::vector<FileToAdd> files;
    std::optional<NameCharset> charset;
};

// Gathers them before anything is locked; nothing, reported, with exitCode set, when the command
// cannot go on (an unknown code page, a file that cannot go in, or anything reported before).
std::optional<FilesToAdd> prepareFilesToAdd(const AddOptions& options, Diagnostics& diagnostics, int& exitCode);

// New members from input files, checked as every command that adds files checks them: a name
// that would not read back the same, a name already taken (unless allowDuplicates), the
// archive's own files. Each refusal is reported and the file left out. taken holds the stored
// names in use and receives the new ones.
std::vector<PlannedMember> planNewMembers(const std::vector<FileToAdd>& inputs, const AddOptions& options,
                                          const ArchiveUnderLock& archive, std::optional<NameCharset>& charset,
                                          std::set<std::string, std::less<>>& taken, Diagnostics& diagnostics);

// An archive whose index alone is replaced (rename, append): both files' directories locked,
// so that no writer changes either meanwhile, and the index as it is, read under the lock.
struct IndexRewrite {
    FileSetReplacement replacement;
    LoadedIndex old;
    std::optional<FileIdentity> existingIndex;
};

// Nothing, with the reason reported and the exit code set, when the archive cannot be
// rewritten: a target that cannot be locked or replaced, an index that cannot be read whole.
std::optional<IndexRewrite> startIndexRewrite(const ArchivePaths& paths, Diagnostics& diagnostics, int& exitCode);

enum class IndexRewriteResult {
    Done,
    NotDone,         // the previous index is still there
    InPlaceUnsynced  // the new index is in place, but could not be made durable
};

// Writes the plan's index and puts it in place; any failure is reported.
IndexRewriteResult finishIndexRewrite(IndexRewrite& rewrite, const ArchivePlan& plan, const std::string& indexPath,
                                      Diagnostics& diagnostics);

// Checks that every member of an archive has all its bytes in a data file of dataSize bytes;
// bytes appended after one that runs past the end would become its own. Each problem is
// reported. (Rewrites check only the members whose bytes they copy.)
bool oldMembersAreWhole(const LoadedIndex& old, std::int64_t dataSize, Diagnostics& diagnostics);

}  // namespace unbcl::bcl
