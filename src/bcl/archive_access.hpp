// SPDX-License-Identifier: MIT
// Opening an archive's files for a command, reporting what cannot be opened or read, and the
// entries a command works on.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "member_names.hpp"
#include "member_selection.hpp"
#include "unbcl/archive_open.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/list_entry.hpp"

namespace unbcl::bcl {

using unbcl::LoadedIndex;

std::optional<InputFile> openOrReport(const std::string& path, Diagnostics& diagnostics);
// A data file, whose members are read at their offsets: a regular file or a block device.
// Anything else is refused with a report, without waiting on a FIFO.
std::optional<InputFile> openDataOrReport(const std::string& path, Diagnostics& diagnostics);

// Reads the whole index the way unbcl does. A stop is reported; what was read is kept.
std::optional<LoadedIndex> loadIndex(const std::string& path, Diagnostics& diagnostics);

// An entry as a command sees it: the stored entry, and the path bcl shows, matches and writes.
struct NamedEntry {
    ListMLV entry;
    std::string path;
};

// The selected entries whose names convert, in index order. A name that does not convert is
// reported and left out; patterns that found nothing are reported.
std::vector<NamedEntry> selectEntries(const EntryList& entries, MemberNames& names, MemberSelection& selection,
                                      Diagnostics& diagnostics);

// Refuses, with a report, when standard output is one of the archive's files: what a command
// prints would be written into the archive ("bcl cat X >> MOLVARE.BCD").
bool standardOutputIsArchive(const std::string& index, const std::string& data, const StandardStreams& streams,
                             Diagnostics& diagnostics);

// Refuses, with a report, when standard output was closed at the start: what a command prints
// would be lost without a word.
bool standardOutputWasClosed(const StandardStreams& streams, Diagnostics& diagnostics);

// What a command that reads an archive starts from: the names read as asked, the whole index,
// and the data file when the command needs it.
struct ArchiveForReading {
    MemberNames names;
    LoadedIndex index;
    std::optional<InputFile> data;
    // An interrupted commit was found and repaired before the archive was read.
    bool repairedCommit = false;
};

// Opens an archive for a command that reads it, the index and the data file of one version,
// repairing an interrupted commit first; nothing, with every reason reported, when the command
// cannot run (its output would go into the archive or nowhere, an unknown code page, a file
// that cannot be opened, an interrupted commit this user cannot repair).
std::optional<ArchiveForReading> openArchiveForReading(const ArchivePaths& paths, const NameOptions& names,
                                                       bool needData, const StandardStreams& streams,
                                                       Diagnostics& diagnostics);

// 0 when nothing was reported, else 1: each failure has been said on standard error.
int exitFor(const Diagnostics& diagnostics);

}  // namespace unbcl::bcl
