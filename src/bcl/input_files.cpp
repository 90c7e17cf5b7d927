// SPDX-License-Identifier: MIT
#include "input_files.hpp"

#include "member_names.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <utility>

#include "unbcl/member_name.hpp"

namespace unbcl::bcl {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string joinName(const std::string& directory, const std::string& name) {
    return directory.empty() ? name : directory + "/" + name;
}

SysResult<std::vector<std::string>> readOperandList(const InputOptions& options) {
    UniqueFd owned;
    int fd = STDIN_FILENO;
    if (options.filesFrom != "-") {
        owned = UniqueFd(::open(options.filesFrom.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (!owned) return SysResult<std::vector<std::string>>::failure(errno);
        fd = owned.get();
    }
    const char separator = options.nullSeparated ? '\0' : '\n';
    std::vector<std::string> operands;
    std::string current;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return SysResult<std::vector<std::string>>::failure(errno);
        if (n == 0) break;
        for (const char c : std::string_view(block, static_cast<std::size_t>(n))) {
            if (c != separator) {
                current += c;
            } else if (!current.empty()) {
                operands.push_back(std::exchange(current, {}));
            }
        }
    }
    if (!current.empty()) operands.push_back(std::move(current));
    return operands;
}

// Walks the operands beneath one directory, collecting files and reporting what cannot go in.
class InputWalker {
public:
    InputWalker(const InputOptions& options, int directoryFd, Diagnostics& diagnostics)
        : options_(options), directoryFd_(directoryFd), diagnostics_(diagnostics) {}

    void add(const std::string& operand) {
        if (operand.empty()) {
            diagnostics_.report(operand, "refused: empty name");
            return;
        }
        // Checked before anything is looked at: a name that climbs out of the directory is no
        // member, whether or not something exists there.
        const std::string name = normalizeOperand(operand);
        if (const NameVerdict verdict = judgeMemberName(name); verdict != NameVerdict::Safe) {
            diagnostics_.report(operand, "refused: " + std::string(describeNameVerdict(verdict)));
            return;
        }
        addName(operand, name);
    }

    std::vector<FileToAdd> take() { return std::move(files_); }

private:
    // shown: how the user or the walk spelled it, for reports.
    void addName(const std::string& shown, const std::string& name) {
        const char* at = name.empty() ? "." : name.c_str();
        struct stat st {};
        if (::fstatat(directoryFd_, at, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            diagnostics_.report(shown, "cannot read: " + systemReason(errno));
            return;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!options_.dereference) {
                diagnostics_.report(shown, "refused: a symbolic link (--dereference follows links)");
                return;
            }
            if (::fstatat(directoryFd_, at, &st, 0) != 0) {
                diagnostics_.report(shown, "cannot read: " + systemReason(errno));
                return;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            addDirectory(shown, name, st);
        } else if (S_ISREG(st.st_mode)) {
            files_.push_back({joinName(options_.directory == "." ? "" : options_.directory, name), name,
                              {st.st_dev, st.st_ino}, static_cast<std::int64_t>(st.st_size)});
        } else {
            diagnostics_.report(shown, notRegularFile(st.st_mode));
        }
    }

    void addDirectory(const std::string& shown, const std::string& name, const struct stat& st) {
        // A link followed back to a directory being walked would never end.
        const std::pair<dev_t, ino_t> identity{st.st_dev, st.st_ino};
        if (!walking_.insert(identity).second) {
            diagnostics_.report(shown, "refused: a symbolic link loop leads back here");
            return;
        }
        const int fd = ::openat(directoryFd_, name.empty() ? "." : name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::unique_ptr<DIR, DirCloser> listing(fd < 0 ? nullptr : ::fdopendir(fd));
        if (!listing) {
            const int err = errno;
            if (fd >= 0) ::close(fd);
            diagnostics_.report(shown, "cannot read: " + systemReason(err));
            walking_.erase(identity);
            return;
        }
        std::vector<std::string> entries;
        errno = 0;
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string_view n = entry->d_name;
            if (n != "." && n != "..") entries.emplace_back(n);
        }
        // The same tree gives the same archive, whatever order its files were made in.
        std::sort(entries.begin(), entries.end());
        for (const std::string& entry : entries) {
            const std::string child = joinName(name, entry);
            addName(child, child);
        }
        walking_.erase(identity);
    }

    const InputOptions& options_;
    int directoryFd_;
    Diagnostics& diagnostics_;
    std::vector<FileToAdd> files_;
    std::set<std::pair<dev_t, ino_t>> walking_;
};

}  // namespace

std::string normalizeOperand(const std::string& operand) {
    // As bcl reads stored names, without the trailing separator: "sub/" names the directory.
    std::string name = normalizedPath(operand);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name == "." ? std::string() : name;
}

std::vector<FileToAdd> gatherInputs(const InputOptions& options, Diagnostics& diagnostics) {
    const UniqueFd directory(::open(options.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        diagnostics.report(options.directory, "cannot open directory: " + systemReason(errno));
        return {};
    }
    std::vector<std::string> operands = options.operands;
    if (!options.filesFrom.empty()) {
        SysResult<std::vector<std::string>> listed = readOperandList(options);
        if (!listed) {
            diagnostics.report(options.filesFrom == "-" ? "standard input" : options.filesFrom,
                               "cannot read the file list: " + systemReason(listed.error()));
            return {};
        }
        operands.insert(operands.end(), listed->begin(), listed->end());
    }
    InputWalker walker(options, directory.get(), diagnostics);
    for (const std::string& operand : operands) walker.add(operand);
    return walker.take();
}

}  // namespace unbcl::bcl
