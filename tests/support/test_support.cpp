// SPDX-License-Identifier: MIT
#include "test_support.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <grp.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace unbcl::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "unbcl-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Tests make read-only files and directories; give write access back before removing.
    for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

SmallFileSystem::SmallFileSystem(const fs::path& mountPoint, int kibibytes) : mountPoint_(mountPoint) {
    fs::create_directories(mountPoint_);
    if (::geteuid() != 0) return;
    const std::string image = (imageDir_ / "fs.img").string();
    const std::string commands = "truncate -s " + std::to_string(kibibytes) + "K '" + image +
                                 "' && mkfs.ext4 -q -F -O ^has_journal -b 1024 '" + image +
                                 "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" + mountPoint_.string() + "'";
    mounted_ = std::system(commands.c_str()) == 0;
}

SmallFileSystem::~SmallFileSystem() {
    // Detached, so that a file a failed test left open cannot keep the loop device busy.
    if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
}

void writeFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::set<std::string> listTree(const fs::path& root) {
    std::set<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        names.insert(fs::relative(item.path(), root).string());
    }
    return names;
}

namespace {

std::string readAllFromFd(int fd) {
    std::string all;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        all.append(block, static_cast<std::size_t>(n));
    }
    return all;
}

}  // namespace

RunResult runProgram(const RunOptions& options) {
    // Output goes through files, not pipes, so a large listing cannot fill a pipe and stall.
    ScratchDir capture;
    const std::string outPath =
        options.stdoutPath.empty() ? (capture / "stdout").string() : options.stdoutPath;
    const std::string errPath = (capture / "stderr").string();

    std::vector<std::string> argv{options.program};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (options.beforeExec) options.beforeExec();
        ::execv(options.program.c_str(), cargv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) throw std::runtime_error("wait4 failed");
    }
    RunResult result;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.maxRssKiB = usage.ru_maxrss;
    if (options.stdoutPath.empty()) {
        const int fd = ::open(outPath.c_str(), O_RDONLY);
        result.out = readAllFromFd(fd);
        ::close(fd);
    }
    const int fd = ::open(errPath.c_str(), O_RDONLY);
    result.err = readAllFromFd(fd);
    ::close(fd);
    return result;
}

void withoutLeakChecks() {
    const char* given = ::getenv("ASAN_OPTIONS");
    const std::string options = std::string(given ? given : "") + (given && *given ? ":" : "") + "detect_leaks=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
}

void dropRootPrivileges() {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() != 0) return;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(125);
}

std::string recordLines(std::string_view fname, long offset, long length) {
    return "fname : " + std::string(fname) + "\noffset : " + std::to_string(offset) + "\nlength : " +
           std::to_string(length) + "\n";
}

RunResult runOnATerminal(const std::filesystem::path& cwd, std::vector<std::string> args, const std::string& program) {
    int controller = -1;
    int terminal = -1;
    if (::openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty: " + std::string(std::strerror(errno)));
    }
    // Raw mode, so the terminal hands the bytes over exactly as the program wrote them.
    termios mode{};
    ::tcgetattr(terminal, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(terminal, TCSANOW, &mode);
    RunResult result = runProgram({cwd, std::move(args), program, [terminal] { ::dup2(terminal, 1); }, {}});
    ::close(terminal);
    char block[4096];
    ssize_t n = 0;
    while ((n = ::read(controller, block, sizeof block)) > 0) result.out.append(block, static_cast<std::size_t>(n));
    ::close(controller);
    return result;
}

}  // namespace unbcl::test
