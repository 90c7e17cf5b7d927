// SPDX-License-Identifier: MIT
// Running bcl in tests, and archives made with it from a set of files.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
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

// A bcl run in the background, with standard error captured; killed and reaped if the test
// ends first.
// Whether pid waits, blocked, for a flock (as /proc/locks shows a waiter).
bool waitsForFlock(pid_t pid);

class Background {
public:
    // ignored: signals the program starts with ignored, as under nohup.
    Background(const std::filesystem::path& cwd, std::vector<std::string> args, std::vector<int> ignored = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t pid() const { return pid_; }
    bool hasExited();
    int wait();  // the wait status
    int exitCode();  // -1 when a signal ended it
    std::string err() const;

private:
    ScratchDir capture_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace unbcl::test
