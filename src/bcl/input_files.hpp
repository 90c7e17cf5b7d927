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
};

struct FileToAdd {
    std::string path;  // where to open it from the current directory
    std::string name;  // its member name: relative to the directory, '/' between components
    FileIdentity identity;
    std::int64_t length = 0;
};

// Every regular file the operands name, in order, a directory's files in byte order of their
// names. What cannot go in (a link without --dereference, a FIFO, a device, a name that cannot
// be read) is reported and left out; the caller tells from the report count whether to go on.
std::vector<FileToAdd> gatherInputs(const InputOptions& options, Diagnostics& diagnostics);

// "a/./b//c/" and "./a/b/c" both give "a/b/c": the member name an operand stands for.
std::string normalizeOperand(const std::string& operand);

}  // namespace unbcl::bcl
