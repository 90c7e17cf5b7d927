// SPDX-License-Identifier: MIT
#include "unbcl/output_groups.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <unordered_map>

#include "unbcl/file_io.hpp"
#include "unbcl/member_name.hpp"

// Why members of different groups may be extracted side by side.
//
// A member acts on the tree beneath the extraction directory only through the directory
// entries its OutputFootprint lists, which are the ones BeneathExtractor walks: it reads each
// directory on the way and each entry a symbolic link on the way leads to, makes the missing
// directories, reads through the entry at its file name when it keeps existing files, and
// writes that one entry. What it leaves and reports depends only on what it finds in the
// entries it reads, on the data file, which nothing writes, and on free space (below).
//
// Two members commute, either order giving the same tree and the same outcome for both, unless
// one writes an entry the other touches, or one makes an entry the other only reads. Making
// commutes with making: whoever comes first, the directory is there afterwards and both go on
// in it. Members joined by a conflict, directly or through others, form a group, and a group is
// extracted by one thread in index order. Every conflicting pair so keeps its index order, and
// a schedule that keeps the order of every conflicting pair leaves what the serial one leaves.
//
// The entries are found before anything is written, in the tree as it stands. That is enough
// because extraction makes no symbolic link and changes only entries that members write or
// make. The walk records the first missing entry a link leads to and stops there, records a
// missing directory as made and goes on inside it, and records a directory that is there as
// read. So wherever a member's walk at run time could go differently, or further, than the
// recorded one, another member has written or made an entry the first one recorded, and the
// two are in one group, unless both make that directory, which then is the same new directory
// either way.
//
// Names are keyed by their bytes with ASCII case folded, and only where the file system says a
// name means exactly its bytes; in any other directory (FAT, a case-folding ext4 directory, a
// file system this does not know) all names share one key, so its members keep index order.
//
// What this cannot order: a file system that fills up (which member meets the full disk first
// depends on timing when members of several groups write to it), and other processes changing
// the tree during the run.

namespace unbcl {

namespace {

enum Use : unsigned { kReads = 1, kMakes = 2, kWrites = 4 };

struct Touch {
    std::string entry;  // the directory's key, '/', the name's key
    unsigned uses = 0;
};

// A directory a walk stands in. Its key is "device:inode" when it exists, else the key of the
// entry where it will be made.
struct WalkDir {
    std::string key;
    std::string path;  // beneath the extraction directory, through no link; when it exists
    bool exists = true;
    bool exactNames = true;
};

constexpr int kMaxLinks = 40;  // as many as the kernel follows on one path

// Does a name in this directory mean exactly its bytes, so that two different names are two
// different entries? Only file systems known to say so count.
bool namesAreExactBytes(int dirFd) {
    struct statfs fs {};
    if (::fstatfs(dirFd, &fs) != 0) return false;
    switch (fs.f_type) {
        case BTRFS_SUPER_MAGIC:
        case XFS_SUPER_MAGIC:  // its ASCII-only case folding is covered by the folded keys
        case OVERLAYFS_SUPER_MAGIC:
            return true;
        case EXT4_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
        case TMPFS_MAGIC: {
            unsigned int flags = 0;
            return ::ioctl(dirFd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) == 0;
        }
        default:
            return false;
    }
}

// The components the kernel walks: empty ones and "." name no entry.
std::vector<std::string_view> componentsOf(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (!namesNoEntry(component)) components.push_back(component);
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return components;
}

std::string joinPath(const std::string& dir, std::string_view name) {
    return dir.empty() ? std::string(name) : dir + '/' + std::string(name);
}

// Finds the entries each member's footprint reaches in the tree as it stands, remembering
// directories and parent walks already made, since many members share them.
class FootprintFinder {
public:
    explicit FootprintFinder(int directoryFd) : directoryFd_(directoryFd) {}

    std::vector<Touch> touches(const OutputFootprint& footprint);

private:
    struct ParentWalk {
        std::optional<WalkDir> dir;  // nothing when the walk cannot reach the parent
        std::vector<Touch> touches;
    };

    const std::optional<WalkDir>& existingDirectory(const std::string& path);
    const ParentWalk& walkToParent(const std::vector<std::string_view>& components);
    std::optional<WalkDir> stepInto(const WalkDir& dir, std::string_view name, bool mayMake, int links,
                                    std::vector<Touch>& touches);
    std::optional<WalkDir> followLink(const WalkDir& dir, const std::string& target, int links,
                                      std::vector<Touch>& touches);
    static std::string entryKey(const WalkDir& dir, std::string_view name) {
        return dir.key + '/' + (dir.exactNames ? asciiLowercase(name) : std::string());
    }

    int directoryFd_;
    std::unordered_map<std::string, std::optional<WalkDir>> directories_;
    std::unordered_map<std::string, ParentWalk> parents_;
};

const std::optional<WalkDir>& FootprintFinder::existingDirectory(const std::string& path) {
    const auto known = directories_.find(path);
    if (known != directories_.end()) return known->second;
    std::optional<WalkDir> dir;
    UniqueFd fd(::openat(directoryFd_, path.empty() ? "." : path.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) == 0) {
        dir = WalkDir{std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino), path, true,
                      namesAreExactBytes(fd.get())};
    }
    return directories_.emplace(path, std::move(dir)).first->second;
}

std::optional<WalkDir> FootprintFinder::stepInto(const WalkDir& dir, std::string_view name, bool mayMake, int links,
                                                 std::vector<Touch>& touches) {
    const WalkDir toBeMade{entryKey(dir, name), {}, false, dir.exactNames};
    if (!dir.exists) return mayMake ? std::optional(toBeMade) : std::nullopt;
    const std::string path = joinPath(dir.path, name);
    struct stat st {};
    if (::fstatat(directoryFd_, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT && mayMake ? std::optional(toBeMade) : std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) return existingDirectory(path);
    if (!S_ISLNK(st.st_mode) || links >= kMaxLinks) return std::nullopt;
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlinkat(directoryFd_, path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    return followLink(dir, target, links + 1, touches);
}

std::optional<WalkDir> FootprintFinder::followLink(const WalkDir& dir, const std::string& target, int links,
                                                   std::vector<Touch>& touches) {
    // An absolute link, or one that climbs above the extraction directory, refuses the member.
    if (target.empty() || target.front() == '/') return std::nullopt;
    std::optional<WalkDir> at = dir;
    for (const std::string_view component : componentsOf(target)) {
        if (component == "..") {
            if (at->path.empty()) return std::nullopt;
            const auto slash = at->path.rfind('/');
            at = existingDirectory(slash == std::string::npos ? std::string() : at->path.substr(0, slash));
        } else {
            touches.push_back({entryKey(*at, component), kReads});
            at = stepInto(*at, component, false, links, touches);
        }
        if (!at) return std::nullopt;
    }
    return at;
}

const FootprintFinder::ParentWalk& FootprintFinder::walkToParent(const std::vector<std::string_view>& components) {
    std::string lexical;
    for (const std::string_view c : components) lexical.append(c).push_back('/');
    const auto known = parents_.find(lexical);
    if (known != parents_.end()) return known->second;
    ParentWalk walk{existingDirectory({}), {}};
    for (const std::string_view component : components) {
        if (!walk.dir) break;
        const std::size_t touch = walk.touches.size();
        walk.touches.push_back({entryKey(*walk.dir, component), kReads});
        walk.dir = stepInto(*walk.dir, component, true, 0, walk.touches);
        // A directory that is already there is only read: mkdirat cannot change it, and a
        // member that replaces it writes it and is ordered for that.
        if (walk.dir && !walk.dir->exists) walk.touches[touch].uses |= kMakes;
    }
    return parents_.emplace(std::move(lexical), std::move(walk)).first->second;
}

std::vector<Touch> FootprintFinder::touches(const OutputFootprint& footprint) {
    std::vector<std::string_view> directories;
    for (const OutputFootprint::Directory& d : footprint.directories) directories.push_back(d.name);
    std::string_view file = footprint.file;
    if (namesNoEntry(file)) {
        // The name ends in a directory, which the extractor makes and then tries to write at:
        // keyed as a write of that directory's entry, it conflicts with everything that
        // touches the entry, which covers making it.
        if (directories.empty()) return {};
        file = directories.back();
        directories.pop_back();
    }
    const ParentWalk& parent = walkToParent(directories);
    std::vector<Touch> touches = parent.touches;
    if (!parent.dir) return touches;
    touches.push_back({entryKey(*parent.dir, file), kReads | kWrites});
    if (footprint.readsThroughFile) (void)stepInto(*parent.dir, file, false, 0, touches);
    return touches;
}

// The same entry can be reached twice by one member (through a link, say): one use each.
std::vector<Touch> mergeTouches(std::vector<Touch> touches) {
    std::sort(touches.begin(), touches.end(), [](const Touch& a, const Touch& b) { return a.entry < b.entry; });
    std::vector<Touch> merged;
    for (Touch& t : touches) {
        if (!merged.empty() && merged.back().entry == t.entry) {
            merged.back().uses |= t.uses;
        } else {
            merged.push_back(std::move(t));
        }
    }
    return merged;
}

struct MemberUse {
    std::size_t member;
    unsigned uses;
};

// Does the order of these members' uses of one entry matter?
bool orderMatters(const std::vector<MemberUse>& uses) {
    const auto any = [&](auto test) { return std::any_of(uses.begin(), uses.end(), test); };
    if (any([](const MemberUse& u) { return (u.uses & kWrites) != 0; })) return true;
    return any([](const MemberUse& u) { return (u.uses & kMakes) != 0; }) &&
           any([](const MemberUse& u) { return (u.uses & kMakes) == 0; });
}

class DisjointSets {
public:
    explicit DisjointSets(std::size_t count) : parent_(count) {
        for (std::size_t i = 0; i < count; ++i) parent_[i] = i;
    }
    std::size_t find(std::size_t i) {
        while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
        return i;
    }
    void join(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::size_t> parent_;
};

}  // namespace

MemberGroups groupMembersByOutput(const std::vector<std::string_view>& names, const BeneathExtractor& extractor) {
    FootprintFinder finder(extractor.policy().directoryFd);
    std::unordered_map<std::string, std::vector<MemberUse>> usesByEntry;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (extractor.refusesName(names[i])) continue;
        for (Touch& t : mergeTouches(finder.touches(extractor.footprint(names[i])))) {
            usesByEntry[std::move(t.entry)].push_back({i, t.uses});
        }
    }
    DisjointSets sets(names.size());
    for (const auto& [entry, uses] : usesByEntry) {
        if (!orderMatters(uses)) continue;
        for (const MemberUse& u : uses) sets.join(uses.front().member, u.member);
    }
    MemberGroups groups;
    std::vector<std::size_t> groupOfRoot(names.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::size_t& group = groupOfRoot[sets.find(i)];
        if (group == names.size()) {
            group = groups.size();
            groups.emplace_back();
        }
        groups[group].push_back(i);
    }
    return groups;
}

}  // namespace unbcl
