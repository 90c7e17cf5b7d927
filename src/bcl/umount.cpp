// SPDX-License-Identifier: MIT
// bcl umount: takes down a file system that bcl mount put up, and nothing else.
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "commands.hpp"
#include "unbcl/file_io.hpp"

extern char** environ;

namespace unbcl::bcl {

namespace {

constexpr std::string_view kBclFileSystemType = "fuse.bcl";

// mountinfo writes space, tab, newline and backslash in a path as a backslash and three octal
// digits.
std::string decodeMountInfoPath(std::string_view field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits(field.substr(i + 1, 3));
            char* end = nullptr;
            const long value = std::strtol(digits.c_str(), &end, 8);
            if (end == digits.c_str() + 3) {
                path.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        path.push_back(field[i]);
    }
    return path;
}

// The file system type of the mount on top at path, or nothing when nothing is mounted there.
std::optional<std::string> mountedTypeAt(const std::string& path) {
    std::ifstream info("/proc/self/mountinfo");
    std::optional<std::string> type;
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        fields >> id >> parent >> device >> root >> mountPoint;
        if (decodeMountInfoPath(mountPoint) != path) continue;
        // Optional fields end at a lone "-"; the type follows it. A later line stacks on top.
        for (std::string field; fields >> field && field != "-";) {
        }
        std::string fsType;
        if (fields >> fsType) type = fsType;
    }
    return type;
}

// The absolute path of the mount point without touching the mount itself, which may belong to
// a server that is gone: only its parent directory is resolved.
std::optional<std::string> mountPointPath(const std::string& mountPoint, int& err) {
    std::string trimmed = mountPoint;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    const std::string base = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    char resolved[PATH_MAX];
    if (base == "." || base == ".." || base.empty()) {
        if (::realpath(trimmed.c_str(), resolved) == nullptr) {
            err = errno;
            return std::nullopt;
        }
        return std::string(resolved);
    }
    if (::realpath(parent.c_str(), resolved) == nullptr) {
        err = errno;
        return std::nullopt;
    }
    const std::string dir = resolved;
    return dir == "/" ? "/" + base : dir + "/" + base;
}

// Users other than root unmount their FUSE file systems through the set-user-ID helper.
int runFusermount(const std::string& path) {
    const char* argv[] = {"fusermount3", "-u", "--", path.c_str(), nullptr};
    pid_t pid = 0;
    if (const int err = ::posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char**>(argv), environ);
        err != 0) {
        return err;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

}  // namespace

int unmountArchive(const std::string& mountPoint, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    int err = 0;
    const std::optional<std::string> path = mountPointPath(mountPoint, err);
    if (!path) {
        diagnostics.report(mountPoint, "cannot unmount: " + systemReason(err));
        return kBclCannotRun;
    }
    if (mountedTypeAt(*path) != kBclFileSystemType) {
        diagnostics.report(mountPoint, "cannot unmount: not a file system that bcl mount put up");
        return kBclCannotRun;
    }
    if (::umount2(path->c_str(), UMOUNT_NOFOLLOW) == 0) return kBclOk;
    if (errno != EPERM) {
        diagnostics.report(mountPoint, "cannot unmount: " + systemReason(errno));
        return kBclCannotRun;
    }
    if (const int helper = runFusermount(*path); helper != 0) {
        diagnostics.report(mountPoint, helper > 0 ? "cannot run fusermount3: " + systemReason(helper)
                                                  : "cannot unmount: fusermount3 -u failed");
        return kBclCannotRun;
    }
    return kBclOk;
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command umountCommand() {
    Command command;
    command.name = "umount";
    command.summary = "Unmount what bcl mount mounted at MOUNTPOINT.";
    command.operandName = "MOUNTPOINT";
    command.operandHelp = "where the archive is mounted";
    command.maxOperands = 1;
    command.takesArchive = false;
    command.misuse = [](const std::vector<std::string>& operands) -> std::string {
        return operands.empty() ? "give the mount point" : "";
    };
    command.run = [](const CommandCall& call) { return unmountArchive(call.operands.front(), call.streams); };
    return command;
}

}  // namespace unbcl::bcl
