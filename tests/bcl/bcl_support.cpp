// SPDX-License-Identifier: MIT
#include "bcl_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace unbcl::test {

namespace fs = std::filesystem;

RunResult bcl(const fs::path& cwd, std::vector<std::string> args) {
    return runProgram({cwd, std::move(args), BCL_BINARY, {}, {}});
}

void writeFiles(const fs::path& root, const FileSet& files) {
    for (const auto& [name, bytes] : files) {
        fs::create_directories((root / name).parent_path());
        writeFile(root / name, bytes);
    }
}

FileSet readRegularFiles(const fs::path& root) {
    FileSet files;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) files[fs::relative(item.path(), root).string()] = readFile(item.path());
    }
    return files;
}

Made::Made(const FileSet& files, std::vector<std::string> extraArgs) {
    fs::create_directory(src);
    writeFiles(src, files);
    std::vector<std::string> args{"-i", index.string(), "-d", data.string(), "create"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    for (const auto& [name, bytes] : files) args.push_back(name);
    const RunResult r = bcl(src, args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
}

RunResult Made::run(std::vector<std::string> args, const fs::path& cwd) const {
    std::vector<std::string> all{"-i", index.string(), "-d", data.string()};
    all.insert(all.end(), args.begin(), args.end());
    return bcl(cwd.empty() ? dir.path() : cwd, all);
}

bool waitsForFlock(pid_t pid) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (words.size() > 5 && words[1] == "->" && words[2] == "FLOCK" && words[5] == std::to_string(pid)) return true;
    }
    return false;
}


Background::Background(const fs::path& cwd, std::vector<std::string> args, std::vector<int> ignored) {
    std::vector<std::string> argv{BCL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const std::string errPath = (capture_ / "stderr").string();
    pid_ = ::fork();
    if (pid_ == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(in, 1);
        ::dup2(err, 2);
        for (const int signal : ignored) ::signal(signal, SIG_IGN);
        ::execv(BCL_BINARY, cargv.data());
        ::_exit(127);
    }
}

Background::~Background() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

bool Background::hasExited() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
}

int Background::wait() {
    int status = 0;
    while (!status_) {
        if (::waitpid(pid_, &status, 0) == pid_) status_ = status;
    }
    return *status_;
}

int Background::exitCode() { return WIFEXITED(wait()) ? WEXITSTATUS(*status_) : -1; }

std::string Background::err() const { return readFile(capture_ / "stderr"); }

}  // namespace unbcl::test
