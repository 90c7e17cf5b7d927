// SPDX-License-Identifier: MIT
// What the commands that write an archive share: the files to add, the names they are stored
// under, and the reports and exit code a rewrite ends with. The writing itself is the library's
// (unbcl/archive_rewrite.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "input_files.hpp"
#include "unbcl/archive_plan.hpp"
#include "unbcl/archive_rewrite.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/index_writer.hpp"
#include "unbcl/name_charset.hpp"

namespace unbcl::bcl {

using unbcl::ArchivePlan;
using unbcl::ArchiveUnderLock;
using unbcl::PlannedMember;

struct RewriteOptions {
    bool readOld = false;  // the plan starts from the archive as it is
    std::int64_t align = 1;
    bool verbose = false;
};

// Replaces the index and data file by the plan makePlan gives (nothing: it reported why not;
// a plan given after a report is still written, and the exit code is 1), with the previous
// archive untouched on any failure and nothing left behind. Returns the exit code.
int rewriteArchive(const ArchivePaths& paths, const RewriteOptions& options,
                   const std::function<std::optional<ArchivePlan>(const ArchiveUnderLock&)>& makePlan,
                   const StandardStreams& streams, Diagnostics& diagnostics);

// Starts a rewrite session and reports what its start said; nothing, with exitCode set, when
// it could not start.
std::optional<ArchiveRewrite> beginRewrite(const ArchivePaths& paths, ArchiveRewrite::Scope scope, bool readOld,
                                           Diagnostics& diagnostics, int& exitCode);

// Reports a finished rewrite's problems; returns the exit code it ends the command with.
int reportRewrite(const RewriteResult& result, Diagnostics& diagnostics);

// Names each member from a file on standard output as it is added (-v).
MemberWritten verboseListing(Console& verbose);

// The code page names are written in, when asked for: false, reported, when iconv does not
// know it.
bool openWritingCharset(const std::string& name, std::optional<NameCharset>& charset, Diagnostics& diagnostics);

// The files a command adds and the code page their names are written in.
struct FilesToAdd {
    std::vector<FileToAdd> files;
    std::optional<NameCharset> charset;
};

// Gathers them before anything is locked; nothing, reported, with exitCode set, when the command
// cannot go on (an unknown code page, a file that cannot go in, -v with standard output closed,
// or anything reported before).
std::optional<FilesToAdd> prepareFilesToAdd(const AddOptions& options, const StandardStreams& streams,
                                            Diagnostics& diagnostics, int& exitCode);

// New members from input files, checked as every command that adds files checks them: a name
// that would not read back the same, a name already taken (unless allowDuplicates), the
// archive's own files. Each refusal is reported and the file left out. taken holds the stored
// names in use and receives the new ones.
std::vector<PlannedMember> planNewMembers(const std::vector<FileToAdd>& inputs, const AddOptions& options,
                                          const ArchiveUnderLock& archive, std::optional<NameCharset>& charset,
                                          std::set<std::string, std::less<>>& taken, Diagnostics& diagnostics,
                                          std::size_t& refused);

}  // namespace unbcl::bcl
