// SPDX-License-Identifier: MIT
// The files a command puts into an archive: operands and file lists, directories walked in
// byte order of names, each named by its path relative to one directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"

namespace unbcl::bcl {

struct InputOptions {
    std::string directory = ".";        // -C: names are relative to it
    std::vector<std::string> operands;  // files and directories
    std::string filesFrom;              // -T: more operands, one a line ("-": standard input)
    bool nullSeparated = false;         // --null: -T's operands end with NUL, not line feed
    bool dereference = false;           // follow symbolic links instead of refusing them
    std::vector<std::string> excludes;  // -x: names (patterns) left out, a directory with all beneath
    std::string excludeFrom;            // --exclude-from: more of them, one a line
    bool strict = false;                // what a walk meets and cannot add fails the run, not skipped
};

struct FileToAdd {
    std::string path;  // where to open it from the current directory
    std::string name;  // its member name: relative to the directory, '/' between components
    FileIdentity identity;
    std::int64_t length = 0;
    bool foundInWalk = false;  // met beneath a directory operand, not named by the user
};

struct GatheredInputs {
    std::vector<FileToAdd> files;
    // Reported and left out: what was named and cannot go in (refused), and what a walk of a
    // directory met that is no file to add (skipped: a symbolic link without --dereference, a
    // FIFO, a device, a socket).
    std::size_t refused = 0;
    std::size_t skipped = 0;
};

// Every regular file the operands name, in order, a directory's files in byte order of their
// names, less what the excludes name. What cannot go in is reported and left out, and counted.
GatheredInputs gatherInputs(const InputOptions& options, Diagnostics& diagnostics);

// "a/./b//c/" and "./a/b/c" both give "a/b/c": the member name an operand stands for.
std::string normalizeOperand(const std::string& operand);

}  // namespace unbcl::bcl
