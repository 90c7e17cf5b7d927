// SPDX-License-Identifier: MIT
// Opening an archive to read it: the index and the data file of one version, never the index
// of one commit beside the data file of the next, and the whole index read into memory.
#pragma once

#include <optional>
#include <string>

#include "unbcl/archive_names.hpp"
#include "unbcl/file_io.hpp"
#include "unbcl/index_format.hpp"
#include "unbcl/list_entry.hpp"
#include "unbcl/problem.hpp"

namespace unbcl {

struct ArchivePaths {
    std::string index{kDefaultListFname};
    std::string data{kDefaultDataFname};
};

struct ArchiveFiles {
    SysResult<InputFile> index = SysResult<InputFile>::failure(0);
    // Opened only when asked for, and only once the index is open.
    std::optional<SysResult<InputFile>> data;
    // An interrupted commit found and repaired (a note), or the reason it could not be (an error:
    // then neither file is opened).
    Problems repair;
    bool repaired = false;
};

// Opens the index and, with wantData, the data file, holding the index's lock shared between
// the two opens: a writer commits only with it held exclusively, so both files belong to one
// version of the archive. A commit interrupted by a kill or a power loss is first finished or
// undone, as a writer would, and said so in repair.
ArchiveFiles openArchiveFiles(const ArchivePaths& paths, bool wantData);

struct LoadedIndex {
    InputFile file;
    std::string header1;
    std::string header2;
    EntryList entries;
    IndexForm form;
    bool complete = true;  // false when reading stopped at a malformed or unreadable spot
};

// Reads the whole index from the open file, the way unbcl reads it. A stop that the user is
// told about is returned in problems (with the index's path as given); what was read is kept.
LoadedIndex readWholeIndexFile(InputFile file, const std::string& path, Problems& problems);

}  // namespace unbcl
