// SPDX-License-Identifier: MIT
#include "input_files.hpp"

#include "member_names.hpp"
#include "member_selection.hpp"

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

// The lines (or NUL-ended names) of a list file, "-" being standard input; empty ones skipped.
SysResult<std::vector<std::string>> readOperandList(const std::string& path, bool nullSeparated) {
    UniqueFd owned;
    int fd = STDIN_FILENO;
    if (path != "-") {
        owned = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (!owned) return SysResult<std::vector<std::string>>::failure(errno);
        fd = owned.get();
    }
    const char separator = nullSeparated ? '\0' : '\n';
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
    InputWalker(const InputOptions& options, std::vector<std::string> excludes, int directoryFd,
                Diagnostics& diagnostics)
        : options_(options),
          excludes_(SelectionOptions{{}, std::move(excludes), false, false}),
          directoryFd_(directoryFd),
          diagnostics_(diagnostics) {}

    void add(const std::string& operand) {
        if (operand.empty()) {
            refuse(operand, "refused: empty name");
            return;
        }
        // Checked before anything is looked at: a name that climbs out of the directory is no
        // member, whether or not something exists there.
        const std::string name = normalizeOperand(operand);
        if (const NameVerdict verdict = judgeMemberName(name); verdict != NameVerdict::Safe) {
            refuse(operand, "refused: " + std::string(describeNameVerdict(verdict)));
            return;
        }
        addName(operand, name, false);
    }

    GatheredInputs take() { return std::move(gathered_); }

private:
    // As tar has it, a pattern may match the name from any component on: -x .git leaves out
    // proj/.git and all beneath it.
    bool isExcluded(std::string_view name) const {
        for (std::size_t from = 0;;) {
            if (excludes_.excluded(name.substr(from))) return true;
            const std::size_t slash = name.find('/', from);
            if (slash == std::string_view::npos) return false;
            from = slash + 1;
        }
    }

    void refuse(const std::string& shown, const std::string& reason) {
        diagnostics_.report(shown, reason);
        ++gathered_.refused;
    }

    // What a walk meets that is no file to add is left out, and the rest still goes in; what the
    // user named is refused.
    void leaveOut(const std::string& shown, const std::string& reason, bool inWalk) {
        if (!inWalk || options_.strict) {
            refuse(shown, reason);
            return;
        }
        diagnostics_.report(shown, "skipped: " + reason.substr(reason.starts_with("refused: ") ? 9 : 0));
        ++gathered_.skipped;
    }

    // shown: how the user or the walk spelled it, for reports.
    void addName(const std::string& shown, const std::string& name, bool inWalk) {
        if (!name.empty() && isExcluded(name)) return;
        const char* at = name.empty() ? "." : name.c_str();
        struct stat st {};
        if (::fstatat(directoryFd_, at, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            refuse(shown, "cannot read: " + systemReason(errno));
            return;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!options_.dereference) {
                leaveOut(shown, "refused: a symbolic link (--dereference follows links)", inWalk);
                return;
            }
            if (::fstatat(directoryFd_, at, &st, 0) != 0) {
                refuse(shown, "cannot read: " + systemReason(errno));
                return;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            addDirectory(shown, name, st);
        } else if (S_ISREG(st.st_mode)) {
            gathered_.files.push_back({joinName(options_.directory == "." ? "" : options_.directory, name), name,
                                       {st.st_dev, st.st_ino}, static_cast<std::int64_t>(st.st_size), inWalk});
        } else {
            leaveOut(shown, notRegularFile(st.st_mode), inWalk);
        }
    }

    void addDirectory(const std::string& shown, const std::string& name, const struct stat& st) {
        // A link followed back to a directory being walked would never end.
        const std::pair<dev_t, ino_t> identity{st.st_dev, st.st_ino};
        if (!walking_.insert(identity).second) {
            refuse(shown, "refused: a symbolic link loop leads back here");
            return;
        }
        const int fd = ::openat(directoryFd_, name.empty() ? "." : name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::unique_ptr<DIR, DirCloser> listing(fd < 0 ? nullptr : ::fdopendir(fd));
        if (!listing) {
            const int err = errno;
            if (fd >= 0) ::close(fd);
            refuse(shown, "cannot read: " + systemReason(err));
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
            addName(child, child, true);
        }
        walking_.erase(identity);
    }

    const InputOptions& options_;
    const MemberSelection excludes_;
    int directoryFd_;
    Diagnostics& diagnostics_;
    GatheredInputs gathered_;
    std::set<std::pair<dev_t, ino_t>> walking_;
};

}  // namespace

std::string normalizeOperand(const std::string& operand) {
    // As bcl reads stored names, without the trailing separator: "sub/" names the directory.
    std::string name = normalizedPath(operand);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name == "." ? std::string() : name;
}

GatheredInputs gatherInputs(const InputOptions& options, Diagnostics& diagnostics) {
    GatheredInputs failed;
    failed.refused = 1;
    const UniqueFd directory(::open(options.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        diagnostics.report(options.directory, "cannot open directory: " + systemReason(errno));
        return failed;
    }
    std::vector<std::string> operands = options.operands;
    if (!options.filesFrom.empty()) {
        SysResult<std::vector<std::string>> listed = readOperandList(options.filesFrom, options.nullSeparated);
        if (!listed) {
            diagnostics.report(options.filesFrom == "-" ? "standard input" : options.filesFrom,
                               "cannot read the file list: " + systemReason(listed.error()));
            return failed;
        }
        operands.insert(operands.end(), listed->begin(), listed->end());
    }
    std::vector<std::string> excludes;
    for (const std::string& pattern : options.excludes) excludes.push_back(normalizeOperand(pattern));
    if (!options.excludeFrom.empty()) {
        SysResult<std::vector<std::string>> listed = readOperandList(options.excludeFrom, false);
        if (!listed) {
            diagnostics.report(options.excludeFrom == "-" ? "standard input" : options.excludeFrom,
                               "cannot read the exclude list: " + systemReason(listed.error()));
            return failed;
        }
        for (std::string pattern : *listed) {
            // A list written on DOS ends its lines in CR LF.
            if (!pattern.empty() && pattern.back() == '\r') pattern.pop_back();
            if (!pattern.empty()) excludes.push_back(normalizeOperand(pattern));
        }
    }
    InputWalker walker(options, std::move(excludes), directory.get(), diagnostics);
    for (const std::string& operand : operands) walker.add(operand);
    return walker.take();
}

}  // namespace unbcl::bcl
