// SPDX-License-Identifier: MIT
// Scratch directories and a runner for the built binary.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace unbcl::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A small ext4 file system on a loop device, mounted on a fresh directory and unmounted when
// done: a real full disk for write-failure tests. Needs root; mounted() says whether it worked.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::filesystem::path& mountPoint, int kibibytes = 1024);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return mounted_; }

private:
    ScratchDir imageDir_;
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes);
std::string readFile(const std::filesystem::path& path);
// Every file, directory and link below root, as paths relative to it.
std::set<std::string> listTree(const std::filesystem::path& root);

struct RunResult {
    int exitCode = -1;   // -1 when the process was killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    long maxRssKiB = 0;
};

struct RunOptions {
    std::filesystem::path cwd;
    std::vector<std::string> args;
    std::string program = UNBCL_BINARY;
    // Runs in the child just before exec, for limits and signal dispositions.
    std::function<void()> beforeExec;
    // When set, standard output goes to this file instead of being captured.
    std::string stdoutPath;
};

RunResult runProgram(const RunOptions& options);

// Runs the program with its standard output on a pseudo-terminal in raw mode, so that what it
// wrote there comes back exactly; that is the result's out.
RunResult runOnATerminal(const std::filesystem::path& cwd, std::vector<std::string> args, const std::string& program);
// For beforeExec of a program run under ptrace (strace): the leak checker of a sanitized build
// cannot work there and would fail the run, so it is turned off.
void withoutLeakChecks();

// For beforeExec: a process running as root becomes the unprivileged "nobody", so permission
// checks apply to it.
void dropRootPrivileges();
inline RunResult runUnbcl(const std::filesystem::path& cwd, std::vector<std::string> args = {}) {
    return runProgram({cwd, std::move(args), UNBCL_BINARY, {}, {}});
}

// The console lines a listing gives for one record.
std::string recordLines(std::string_view fname, long offset, long length);

}  // namespace unbcl::test
