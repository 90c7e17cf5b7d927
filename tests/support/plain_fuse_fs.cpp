// SPDX-License-Identifier: MIT
// A file system for tests that passes every request on to a backing directory, and that has no
// unnamed files: it leaves out the tmpfile operation, so open(dir, O_TMPFILE) fails there as on
// FAT or most FUSE file systems, and the writers' named-temporary fallbacks run for real.
//
// Usage: plain_fuse_fs [--refuse-exchange] [--refuse-noreplace] BACKING_DIR MOUNT_POINT [libfuse options]
// --refuse-exchange fails renames that would swap two names with EINVAL, as a file system that
// cannot exchange does; --refuse-noreplace likewise those that must not replace, as network
// file systems and many FUSE ones do.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "unbcl/file_io.hpp"

namespace {

struct Backing {
    int directory = -1;
    bool refuseExchange = false;
    bool refuseNoReplace = false;
};

const Backing& backing() { return *static_cast<const Backing*>(fuse_get_context()->private_data); }
int root() { return backing().directory; }

// libfuse names files by their path from the mount's root; the *at calls want them relative.
const char* relative(const char* path) { return path[1] == '\0' ? "." : path + 1; }

int outcome(int rc) { return rc == 0 ? 0 : -errno; }
int handle(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }

void* init(fuse_conn_info*, fuse_config* config) {
    // Inode numbers as the backing files have them, so hard links look like one file.
    config->use_ino = 1;
    // libfuse would otherwise keep an open file that is unlinked or renamed over under a
    // .fuse_hidden name, which a test counting leftovers would see.
    config->hard_remove = 1;
    // No caching, so that what the backing directory holds is what the mount shows at once.
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    config->attr_timeout = 0;
    return fuse_get_context()->private_data;
}

int getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (fi != nullptr) return outcome(::fstat(handle(fi), st));
    return outcome(::fstatat(root(), relative(path), st, AT_SYMLINK_NOFOLLOW));
}

int readlink(const char* path, char* buffer, size_t size) {
    if (size == 0) return -EINVAL;
    const ssize_t n = ::readlinkat(root(), relative(path), buffer, size - 1);
    if (n < 0) return -errno;
    buffer[n] = '\0';
    return 0;
}

int mkdir(const char* path, mode_t mode) { return outcome(::mkdirat(root(), relative(path), mode)); }
int unlink(const char* path) { return outcome(::unlinkat(root(), relative(path), 0)); }
int rmdir(const char* path) { return outcome(::unlinkat(root(), relative(path), AT_REMOVEDIR)); }
int symlink(const char* target, const char* path) { return outcome(::symlinkat(target, root(), relative(path))); }
int link(const char* from, const char* to) {
    return outcome(::linkat(root(), relative(from), root(), relative(to), 0));
}

int rename(const char* from, const char* to, unsigned int flags) {
    if ((flags & RENAME_EXCHANGE) != 0 && backing().refuseExchange) return -EINVAL;
    if ((flags & RENAME_NOREPLACE) != 0 && backing().refuseNoReplace) return -EINVAL;
    return outcome(::renameat2(root(), relative(from), root(), relative(to), flags));
}

int chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    if (fi != nullptr) return outcome(::fchmod(handle(fi), mode));
    return outcome(::fchmodat(root(), relative(path), mode, 0));
}

int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    if (fi != nullptr) return outcome(::fchown(handle(fi), uid, gid));
    return outcome(::fchownat(root(), relative(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int truncate(const char* path, off_t size, fuse_file_info* fi) {
    if (fi != nullptr) return outcome(::ftruncate(handle(fi), size));
    const unbcl::UniqueFd file(::openat(root(), relative(path), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file) return -errno;
    return outcome(::ftruncate(file.get(), size));
}

int utimens(const char* path, const struct timespec times[2], fuse_file_info* fi) {
    if (fi != nullptr) return outcome(::futimens(handle(fi), times));
    return outcome(::utimensat(root(), relative(path), times, AT_SYMLINK_NOFOLLOW));
}

int openFile(const char* path, fuse_file_info* fi) {
    const int fd = ::openat(root(), relative(path), fi->flags | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int create(const char* path, mode_t mode, fuse_file_info* fi) {
    const int fd = ::openat(root(), relative(path), fi->flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pread(handle(fi), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pwrite(handle(fi), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int statfs(const char*, struct statvfs* st) { return outcome(::fstatvfs(root(), st)); }

// A close of the caller's descriptor; the backing file stays open until release.
int flush(const char*, fuse_file_info*) { return 0; }

int release(const char*, fuse_file_info* fi) { return outcome(::close(handle(fi))); }

int fsync(const char*, int dataOnly, fuse_file_info* fi) {
    return outcome(dataOnly != 0 ? ::fdatasync(handle(fi)) : ::fsync(handle(fi)));
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

int readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    unbcl::UniqueFd fd(::openat(root(), relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return -errno;
    const int own = ::dup(fd.get());
    if (own < 0) return -errno;
    const std::unique_ptr<DIR, DirCloser> listing(::fdopendir(own));
    if (!listing) {
        const int err = errno;
        ::close(own);
        return -err;
    }
    // Offsets of 0 hand libfuse the whole listing at once; a test's directory is small.
    while (const dirent* entry = ::readdir(listing.get())) {
        if (fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return 0;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = init;
    ops.getattr = getattr;
    ops.readlink = readlink;
    ops.mkdir = mkdir;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.symlink = symlink;
    ops.rename = rename;
    ops.link = link;
    ops.chmod = chmod;
    ops.chown = chown;
    ops.truncate = truncate;
    ops.utimens = utimens;
    ops.open = openFile;
    ops.create = create;
    ops.read = read;
    ops.write = write;
    ops.statfs = statfs;
    ops.flush = flush;
    ops.release = release;
    ops.fsync = fsync;
    ops.readdir = readdir;
    return ops;
}

}  // namespace

int main(int argc, char** argv) {
    Backing state;
    int next = 1;
    for (; next < argc && std::string_view(argv[next]).starts_with("--"); ++next) {
        if (std::string_view(argv[next]) == "--refuse-exchange") {
            state.refuseExchange = true;
        } else if (std::string_view(argv[next]) == "--refuse-noreplace") {
            state.refuseNoReplace = true;
        } else {
            break;
        }
    }
    if (next + 1 >= argc) {
        std::fprintf(stderr, "usage: plain_fuse_fs [--refuse-exchange] [--refuse-noreplace] BACKING_DIR MOUNT_POINT "
                             "[libfuse options]\n");
        return 2;
    }
    const unbcl::UniqueFd directory(::open(argv[next], O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        std::perror(argv[next]);
        return 1;
    }
    state.directory = directory.get();
    ++next;
    // The kernel has applied the caller's umask already; a second one here would change modes.
    ::umask(0);
    std::vector<char*> fuseArgs{argv[0]};
    fuseArgs.insert(fuseArgs.end(), argv + next, argv + argc);
    const fuse_operations ops = operations();
    return fuse_main(static_cast<int>(fuseArgs.size()), fuseArgs.data(), &ops, &state);
}
