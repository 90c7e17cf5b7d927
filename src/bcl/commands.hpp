// SPDX-License-Identifier: MIT
// The commands of bcl, the companion tool, one source file each.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "command_table.hpp"
#include "input_files.hpp"
#include "member_names.hpp"
#include "member_selection.hpp"
#include "unbcl/archive_open.hpp"
#include "unbcl/console.hpp"

namespace unbcl::bcl {

enum BclExit : int {
    kBclOk = 0,
    kBclFailed = 1,     // some member or check failed; each failure was reported
    kBclCannotRun = 2,  // bad usage, or an archive file that cannot be opened
};

using unbcl::ArchivePaths;

// How names are read and which members are chosen: shared by list, test, extract and cat.
struct MemberOptions {
    NameOptions names;
    SelectionOptions selection;

    // The selection as the names are read: unless they are taken literally, an operand may
    // spell a stored name with its backslashes.
    SelectionOptions selectionAsRead() const {
        SelectionOptions s = selection;
        s.backslashSeparates = !names.literalNames;
        return s;
    }
};

enum class HashAlgorithm { Crc32, Md5, Sha1, Sha256 };

struct ListOptions {
    MemberOptions members;
    bool json = false;
    bool showHeader = false;
    bool namesOnly = false;      // -1: the names alone, a line each
    bool nullSeparated = false;  // --null: the names alone, each ended by a NUL
    std::vector<HashAlgorithm> hashes;
};
int listArchive(const ArchivePaths& paths, const ListOptions& options, const StandardStreams& streams);

struct TestOptions {
    MemberOptions members;
};
int testArchive(const ArchivePaths& paths, const TestOptions& options, const StandardStreams& streams);

enum class ProgressMode { OnTerminal, Always, Never };

constexpr unsigned kMaxExtractJobs = 256;

struct ExtractOptions {
    MemberOptions members;
    std::string directory = ".";
    bool keepOldFiles = false;
    bool verbose = false;
    bool flatten = false;
    bool lowercase = false;
    ProgressMode progress = ProgressMode::OnTerminal;
    // The progress line appears once extraction has run this long.
    std::chrono::milliseconds progressAfter{1000};
    // Threads that write members; with more than one, the result is still that of one.
    unsigned jobs = 1;
};
int extractArchive(const ArchivePaths& paths, const ExtractOptions& options, const StandardStreams& streams);

struct CatOptions {
    MemberOptions members;
};
int catMembers(const ArchivePaths& paths, const CatOptions& options, const StandardStreams& streams);

// What goes into an archive, and how: shared by create, update and append.
struct AddOptions {
    InputOptions inputs;
    bool allowDuplicates = false;
    bool allowCaseTwins = false;  // update, append: add a name an old one differs from only by case
    bool ignoreCase = false;      // update: replace a member whose name differs only by case
    bool literalNames = false;  // allow backslashes and drive letters, which bcl reads as paths
    std::string charset;     // write names in this code page instead of the bytes given
    std::int64_t align = 1;  // each member starts at a multiple of this (a power of two)
    bool verbose = false;    // name each member as it is added
};

struct CreateOptions {
    std::vector<std::string> headers;  // at most two; defaults fill the rest
    bool crlf = false;                 // a DOS index: lines end in CR LF
    AddOptions add;
};
int createArchive(const ArchivePaths& paths, const CreateOptions& options, const StandardStreams& streams);

// Replaces the members whose names the files have, in their places, and adds the others.
int updateArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams);

// Adds new members at the end of the data file, in place, then replaces the index.
int appendToArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams);

// Removes the chosen members and compacts the data file.
int deleteMembers(const ArchivePaths& paths, const MemberOptions& options, const StandardStreams& streams);

struct RenameOptions {
    MemberOptions members;  // how names are read; OLD is matched as bcl shows names
    std::string from;
    std::string to;
};
// Renames one member; only the index changes.
int renameMember(const ArchivePaths& paths, const RenameOptions& options, const StandardStreams& streams);

struct MountOptions {
    NameOptions names;  // how stored names become paths in the tree
    std::string mountPoint;
    bool foreground = false;
    std::vector<std::string> fuseOptions;  // each as given to -o
};
// Returns once the mount is usable (in the background), or once it is unmounted (foreground).
int mountArchive(const ArchivePaths& paths, const MountOptions& options, const StandardStreams& streams);

int unmountArchive(const std::string& mountPoint, const StandardStreams& streams);

// Each command's entry in bcl's command table, made by the command's own file.
Command listCommand();
Command testCommand();
Command extractCommand();
Command catCommand();
Command createCommand();
Command updateCommand();
Command appendCommand();
Command deleteCommand();
Command renameCommand();
Command mountCommand();
Command umountCommand();

// As many workers as the machine has processors, up to 8: beyond that, creating files in the
// same directories gains little.
inline unsigned defaultExtractJobs() {
    return static_cast<unsigned>(std::clamp(::sysconf(_SC_NPROCESSORS_ONLN), 1L, 8L));
}

// --align takes powers of two up to a gibibyte.
// "1 member", "2 members": counts in summary lines read as English.
inline std::string plural(std::size_t count, std::string_view word) {
    return std::to_string(count) + " " + std::string(word) + (count == 1 ? "" : "s");
}

inline constexpr std::int64_t kMaxAlign = std::int64_t{1} << 30;

inline constexpr const char* kMemberOperandHelp =
    "[ARCHIVE] members to work on: shell patterns, exact names, directories";
inline constexpr const char* kFileOperandHelp = "[ARCHIVE] files and directories to put in the archive";

// How names are read, for every command that reads them.
inline void addNameOptions(Command& command, const std::shared_ptr<NameOptions>& names, std::string charsetHelp) {
    command.options.push_back(flagOption("--literal-names",
                                      "keep a backslash in a name as part of it, not as a directory separator",
                                      partOf(names, names->literalNames)));
    command.options.push_back(textOption("--charset", "NAME", std::move(charsetHelp), partOf(names, names->charset)));
}

// Which members, and how their names are read: list, test, extract, cat and delete.
inline void addMemberOptions(Command& command, const std::shared_ptr<MemberOptions>& members) {
    command.options.push_back(flagOption("-I,--ignore-case", "match patterns without regard to case",
                                      partOf(members, members->selection.ignoreCase)));
    command.options.push_back(textsOption("-x,--exclude", "PATTERN",
                                       "leave out members that PATTERN selects (repeatable)",
                                       partOf(members, members->selection.excludes)));
    addNameOptions(command, partOf(members, members->names),
                   "names are in code page NAME (CP437, CP850, CP932, ...): shown and written as UTF-8");
    command.operandName = "PATTERN";
    command.operandHelp = kMemberOperandHelp;
}

inline ValueProblem takeAlignment(const std::string& value, std::int64_t& align) {
    const std::optional<std::int64_t> n = decimalNumber<std::int64_t>(value);
    if (!n) return value + " is not a number";
    if (*n < 1 || (*n & (*n - 1)) != 0) return value + " is not a power of two";
    if (*n > kMaxAlign) return value + " is more than " + std::to_string(kMaxAlign);
    align = *n;
    return std::nullopt;
}

// What goes in and how: create, update and append.
inline void addFileOptions(Command& command, const std::shared_ptr<AddOptions>& add) {
    InputOptions& inputs = add->inputs;
    command.options.push_back(textOption("-C,--directory", "DIR", "name files relative to DIR, and find them there",
                                      partOf(add, inputs.directory)));
    command.options.push_back(textOption("-T,--files-from", "FILE",
                                      "read more paths from FILE, one a line (- for standard input)",
                                      partOf(add, inputs.filesFrom)));
    command.options.push_back(flagOption("--null", "paths read with -T end with NUL, not a line feed",
                                      partOf(add, inputs.nullSeparated)));
    command.options.push_back(flagOption("--dereference", "follow symbolic links instead of skipping them",
                                      partOf(add, inputs.dereference)));
    CommandOption exclude = textsOption("-x,--exclude", "PATTERN", "leave out the files and directories it names (repeatable)",
                                        partOf(add, inputs.excludes));
    command.options.push_back(std::move(exclude));
    command.options.push_back(textOption("--exclude-from", "FILE", "leave out the patterns FILE lists, one a line",
                                      partOf(add, inputs.excludeFrom)));
    command.options.push_back(flagOption("--strict",
                                      "write nothing when a file cannot go in, instead of leaving it out",
                                      partOf(add, inputs.strict)));
    command.options.push_back(
        flagOption("--allow-duplicates", "accept a name given twice", partOf(add, add->allowDuplicates)));
    command.options.push_back(flagOption("--literal-names",
                                      "accept names with a backslash or a drive letter, which bcl reads as paths",
                                      partOf(add, add->literalNames)));
    command.options.push_back(textOption("--charset", "NAME",
                                      "write names in code page NAME; a name it cannot hold is refused",
                                      partOf(add, add->charset)));
    command.options.push_back(valueOption("--align", "N", "start each member at a multiple of N, a power of two",
                                       [add](const std::string& value) { return takeAlignment(value, add->align); }));
    command.options.push_back(flagOption("-v,--verbose", "name each file as it is added", partOf(add, add->verbose)));
    command.operandName = "PATH";
    command.operandHelp = kFileOperandHelp;
    command.misuse = [add](const std::vector<std::string>& operands) -> std::string {
        if (operands.empty() && add->inputs.filesFrom.empty()) {
            return "name the files to put in the archive, or a list of them with -T";
        }
        return {};
    };
}

}  // namespace unbcl::bcl
