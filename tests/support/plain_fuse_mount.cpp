// SPDX-License-Identifier: MIT
#include "plain_fuse_mount.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace unbcl::test {

namespace fs = std::filesystem;

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

bool waitUntil(const std::function<bool()>& done) {
    for (const auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// A mount point shows another device than its parent once something is mounted on it.
bool mountedOn(const fs::path& mountPoint) {
    struct stat point {};
    struct stat parent {};
    return ::stat(mountPoint.c_str(), &point) == 0 && ::stat(mountPoint.parent_path().c_str(), &parent) == 0 &&
           point.st_dev != parent.st_dev;
}

}  // namespace

PlainFuseMount::PlainFuseMount(PlainFuseOptions options)
    : backing_(dir_ / "backing"), mountPoint_(dir_ / "mnt") {
    fs::create_directory(backing_);
    fs::create_directory(mountPoint_);
    mountPoint_ = fs::canonical(mountPoint_);
    std::vector<std::string> args{PLAIN_FUSE_FS_BINARY};
    if (options.refuseExchange) args.emplace_back("--refuse-exchange");
    if (options.refuseNoReplace) args.emplace_back("--refuse-noreplace");
    args.insert(args.end(), {backing_.string(), mountPoint_.string(), "-f", "-s", "-o",
                             "default_permissions,fsname=plain_fuse_fs"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The server is a fixture, not the code under test: when a test ends its session the hard
    // way (a detached mount with a request in flight), libfuse leaves its own buffers behind,
    // and a sanitized build's leak check would fail the test for them. Its memory errors still
    // count. Built before the fork, as the child may only exec.
    std::vector<std::string> environment;
    std::string asanOptions = "ASAN_OPTIONS=detect_leaks=0";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("ASAN_OPTIONS=")) {
            asanOptions = std::string(entry) + ":detect_leaks=0";
        } else {
            environment.emplace_back(entry);
        }
    }
    environment.push_back(asanOptions);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string errPath = (dir_ / "server.err").string();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null < 0 || err < 0) ::_exit(126);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(err, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    // A server that ends before mounting failed; its standard error says why.
    waitUntil([this] { return mountedOn(mountPoint_) || serverEnded(); });
    mounted_ = mountedOn(mountPoint_);
}

PlainFuseMount::~PlainFuseMount() {
    // Detached only when busy, so that a descriptor a failed test left open cannot keep it
    // mounted. Where nothing is mounted, this fails harmlessly with EINVAL.
    if (::umount2(mountPoint_.c_str(), 0) != 0 && errno == EBUSY) ::umount2(mountPoint_.c_str(), MNT_DETACH);
    if (!waitUntil([this] { return serverEnded(); })) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    // A server that crashed, or that the sanitizers caught, fails the test that used it. The
    // connection of a detached mount has been seen to end as aborted rather than gone (once, in
    // a full CI run); libfuse then says so and exits 8, which is an end, not a fault.
    const bool endedByUnmount = WIFEXITED(status_) && WEXITSTATUS(status_) == 8 &&
                                serverErr() == "fuse: reading device: Software caused connection abort\n";
    if (mounted_ && !(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) && !endedByUnmount) {
        ADD_FAILURE() << "plain_fuse_fs ended with "
                      << (WIFEXITED(status_) ? "exit code " + std::to_string(WEXITSTATUS(status_))
                                             : "signal " + std::to_string(WTERMSIG(status_)))
                      << ": " << serverErr();
    }
}

bool PlainFuseMount::serverEnded() {
    if (!ended_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    return ended_;
}

std::string PlainFuseMount::serverErr() const { return readFile(dir_ / "server.err"); }

}  // namespace unbcl::test
