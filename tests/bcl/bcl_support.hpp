// SPDX-License-Identifier: MIT
// Running bcl in tests, and archives made with it from a set of files.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace unbcl::test {

RunResult bcl(const std::filesystem::path& cwd, std::vector<std::string> args);

// Files by relative name, as a test writes them and expects them back.
using FileSet = std::map<std::string, std::string>;

void writeFiles(const std::filesystem::path& root, const FileSet& files);
FileSet readRegularFiles(const std::filesystem::path& root);

// A source directory holding files, and an archive made of them with bcl create.
struct Made {
    ScratchDir dir;
    std::filesystem::path src = dir / "src";
    std::filesystem::path index = dir / "A.BCL";
    std::filesystem::path data = dir / "A.BCD";

    explicit Made(const FileSet& files, std::vector<std::string> extraArgs = {});
    // Runs bcl on this archive, in cwd (default: the scratch directory).
    RunResult run(std::vector<std::string> args, const std::filesystem::path& cwd = {}) const;
};

}  // namespace unbcl::test
