// SPDX-License-Identifier: MIT
// bcl mount: serves the archive as a read-only file system through FUSE. Every member is a
// byte range of the data file, so a read is handed to the kernel as that file's descriptor and
// offset and never passes through this process's memory.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "member_names.hpp"
#include "mount_tree.hpp"
#include "unbcl/index_reader.hpp"

namespace unbcl::bcl {

namespace {

// Nothing in the tree changes while it is mounted, so the kernel may keep what it was told.
constexpr double kCacheSeconds = 365.0 * 24 * 3600;

// What every operation works from; FUSE hands it back with each request.
struct ServedArchive {
    MountTree tree;
    UniqueFd data;
    struct stat dataStat {};  // owner and times of every node
    // Set by INIT, before any other request arrives, and read by every serving thread.
    std::atomic<bool> kernelSkipsOpen = false;
    std::atomic<bool> kernelSkipsOpendir = false;
};

ServedArchive& servedArchive(fuse_req_t req) { return *static_cast<ServedArchive*>(fuse_req_userdata(req)); }

// The root is FUSE_ROOT_ID (1) and node 0, so inode numbers are node numbers plus one.
std::optional<NodeId> nodeOf(const MountTree& tree, fuse_ino_t ino) {
    if (ino < FUSE_ROOT_ID || ino - FUSE_ROOT_ID >= tree.size()) return std::nullopt;
    return static_cast<NodeId>(ino - FUSE_ROOT_ID);
}

fuse_ino_t inodeOf(NodeId id) { return fuse_ino_t{id} + FUSE_ROOT_ID; }

// A member can be read by whoever can read the data file, and by nobody else: the kernel checks
// these bits (default_permissions), so a private data file stays private under allow_other.
// A directory can be listed and entered by the same users.
mode_t fileModeFor(const struct stat& data) { return data.st_mode & 0444; }
mode_t directoryModeFor(const struct stat& data) { return fileModeFor(data) | (fileModeFor(data) >> 2); }

struct stat attributesOf(const ServedArchive& archive, NodeId id) {
    struct stat st {};
    st.st_ino = inodeOf(id);
    st.st_uid = archive.dataStat.st_uid;
    st.st_gid = archive.dataStat.st_gid;
    st.st_atim = archive.dataStat.st_atim;
    st.st_mtim = archive.dataStat.st_mtim;
    st.st_ctim = archive.dataStat.st_ctim;
    st.st_blksize = archive.dataStat.st_blksize;
    if (archive.tree.isDirectory(id)) {
        st.st_mode = S_IFDIR | directoryModeFor(archive.dataStat);
        st.st_nlink = 2 + archive.tree.subdirectoryCount(id);
    } else {
        st.st_mode = S_IFREG | fileModeFor(archive.dataStat);
        st.st_nlink = 1;
        st.st_size = archive.tree.fileSize(id);
        st.st_blocks = (st.st_size + 511) / 512;
    }
    return st;
}

fuse_entry_param entryOf(const ServedArchive& archive, NodeId id) {
    fuse_entry_param e{};
    e.ino = inodeOf(id);
    e.attr = attributesOf(archive, id);
    e.attr_timeout = kCacheSeconds;
    e.entry_timeout = kCacheSeconds;
    return e;
}

void onInit(void* userdata, fuse_conn_info* conn) {
    ServedArchive& archive = *static_cast<ServedArchive*>(userdata);
    if ((conn->capable & FUSE_CAP_SPLICE_WRITE) != 0) conn->want |= FUSE_CAP_SPLICE_WRITE;
    if ((conn->capable & FUSE_CAP_SPLICE_MOVE) != 0) conn->want |= FUSE_CAP_SPLICE_MOVE;
    // A listing always brings every entry's attributes along, so that walking the tree and
    // opening what it found costs no LOOKUP per file.
    conn->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
    archive.kernelSkipsOpen = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
    archive.kernelSkipsOpendir = (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
}

// Nothing is kept per open file or directory and nothing ever changes. Where the kernel can,
// it is told so once (ENOSYS) and then skips OPEN and RELEASE altogether, keeping its cached
// pages and listings across opens: most of the cost of reading many small members goes.
void onOpen(fuse_req_t req, fuse_ino_t /*ino*/, fuse_file_info* fi) {
    if (servedArchive(req).kernelSkipsOpen) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void onOpendir(fuse_req_t req, fuse_ino_t /*ino*/, fuse_file_info* fi) {
    if (servedArchive(req).kernelSkipsOpendir) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    const ServedArchive& archive = servedArchive(req);
    const std::optional<NodeId> dir = nodeOf(archive.tree, parent);
    if (!dir || !archive.tree.isDirectory(*dir)) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    const std::optional<NodeId> found = archive.tree.child(*dir, name);
    if (!found) {
        // Inode 0 with a timeout lets the kernel remember the absence too.
        fuse_entry_param none{};
        none.entry_timeout = kCacheSeconds;
        fuse_reply_entry(req, &none);
        return;
    }
    const fuse_entry_param e = entryOf(archive, *found);
    fuse_reply_entry(req, &e);
}

void onGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* /*fi*/) {
    const ServedArchive& archive = servedArchive(req);
    const std::optional<NodeId> id = nodeOf(archive.tree, ino);
    if (!id) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const struct stat st = attributesOf(archive, *id);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

void onRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* /*fi*/) {
    const ServedArchive& archive = servedArchive(req);
    const std::optional<NodeId> id = nodeOf(archive.tree, ino);
    if (!id || archive.tree.isDirectory(*id)) {
        fuse_reply_err(req, id ? EISDIR : ENOENT);
        return;
    }
    const std::int64_t fileSize = archive.tree.fileSize(*id);
    if (off < 0 || off >= fileSize) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const auto length = static_cast<std::size_t>(std::min<std::int64_t>(fileSize - off, static_cast<std::int64_t>(size)));
    // The data file's descriptor and position: FUSE splices the bytes from its page cache, and
    // a data file that has shrunk since the mount simply yields fewer of them.
    fuse_bufvec buf{};
    buf.count = 1;
    buf.buf[0].size = length;
    buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    buf.buf[0].fd = archive.data.get();
    buf.buf[0].pos = archive.tree.dataOffset(*id) + off;
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
}

// Offsets 0 and 1 are "." and ".."; offset 2 + i is the directory's child i.
void replyDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, bool plus) {
    const ServedArchive& archive = servedArchive(req);
    const std::optional<NodeId> id = nodeOf(archive.tree, ino);
    if (!id || !archive.tree.isDirectory(*id)) {
        fuse_reply_err(req, id ? ENOTDIR : ENOENT);
        return;
    }
    const std::span<const NodeId> children = archive.tree.children(*id);
    std::vector<char> buf(size);
    std::size_t used = 0;
    for (auto at = static_cast<std::size_t>(std::max<off_t>(off, 0)); at < children.size() + 2; ++at) {
        const NodeId shown = at == 0 ? *id : at == 1 ? archive.tree.parent(*id) : children[at - 2];
        const char* name = at == 0 ? "." : at == 1 ? ".." : archive.tree.nameCString(shown);
        const auto next = static_cast<off_t>(at + 1);
        std::size_t needed = 0;
        if (plus) {
            fuse_entry_param e = entryOf(archive, shown);
            // The kernel takes no reference for "." and ".."; inode 0 says so.
            if (at < 2) e.ino = 0;
            needed = fuse_add_direntry_plus(req, buf.data() + used, size - used, name, &e, next);
        } else {
            const struct stat st = attributesOf(archive, shown);
            needed = fuse_add_direntry(req, buf.data() + used, size - used, name, &st, next);
        }
        if (needed > size - used) break;
        used += needed;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void onReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* /*fi*/) {
    replyDirectory(req, ino, size, off, false);
}

void onReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* /*fi*/) {
    replyDirectory(req, ino, size, off, true);
}

void onStatfs(fuse_req_t req, fuse_ino_t /*ino*/) {
    const ServedArchive& archive = servedArchive(req);
    struct statvfs st {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_blocks = static_cast<fsblkcnt_t>((archive.dataStat.st_size + 4095) / 4096);
    st.f_files = archive.tree.size();
    st.f_namemax = kMaxPathComponentBytes;
    fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops servingOperations() {
    fuse_lowlevel_ops ops{};
    ops.init = onInit;
    ops.lookup = onLookup;
    ops.getattr = onGetattr;
    ops.open = onOpen;
    ops.read = onRead;
    ops.opendir = onOpendir;
    ops.readdir = onReaddir;
    ops.readdirplus = onReaddirplus;
    ops.statfs = onStatfs;
    return ops;
}

// FUSE's argument vector, freed however the command ends.
class FuseArgs {
public:
    FuseArgs() = default;
    FuseArgs(const FuseArgs&) = delete;
    FuseArgs& operator=(const FuseArgs&) = delete;
    ~FuseArgs() { fuse_opt_free_args(&args_); }

    bool add(const std::string& arg) { return fuse_opt_add_arg(&args_, arg.c_str()) == 0; }
    fuse_args* get() { return &args_; }

private:
    fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// A FUSE session and, once mount() succeeded, its mount, which ends with it unless the
// session was handed to a background process.
class FuseSession {
public:
    explicit FuseSession(fuse_session* session) : session_(session) {}
    FuseSession(const FuseSession&) = delete;
    FuseSession& operator=(const FuseSession&) = delete;
    ~FuseSession() {
        if (session_ == nullptr) return;
        if (mounted_) fuse_session_unmount(session_);
        fuse_session_destroy(session_);
    }

    explicit operator bool() const { return session_ != nullptr; }
    fuse_session* get() const { return session_; }
    bool mount(const std::string& mountPoint) {
        mounted_ = fuse_session_mount(session_, mountPoint.c_str()) == 0;
        return mounted_;
    }
private:
    fuse_session* session_;
    bool mounted_ = false;
};

// SIGINT, SIGTERM and SIGHUP end the serving loop, so the mount is taken down cleanly.
class SessionSignals {
public:
    explicit SessionSignals(fuse_session* session) : session_(session), set_(fuse_set_signal_handlers(session) == 0) {}
    SessionSignals(const SessionSignals&) = delete;
    SessionSignals& operator=(const SessionSignals&) = delete;
    ~SessionSignals() {
        if (set_) fuse_remove_signal_handlers(session_);
    }

private:
    fuse_session* session_;
    bool set_;
};

class LoopConfig {
public:
    LoopConfig() : config_(fuse_loop_cfg_create()) {}
    LoopConfig(const LoopConfig&) = delete;
    LoopConfig& operator=(const LoopConfig&) = delete;
    ~LoopConfig() {
        if (config_ != nullptr) fuse_loop_cfg_destroy(config_);
    }
    fuse_loop_config* get() const { return config_; }

private:
    fuse_loop_config* config_;
};

// Serves requests, several at once, until the file system is unmounted or a signal ends it.
int serve(FuseSession& session) {
    const SessionSignals signals(session.get());
    const LoopConfig config;
    if (config.get() == nullptr) return kBclCannotRun;
    return fuse_session_loop_mt(session.get(), config.get()) == 0 ? kBclOk : kBclCannotRun;
}

// Reads the index entry by entry into the tree, so that no list of entries is kept besides it.
std::optional<MountTree> readTree(const std::string& indexPath, std::int64_t dataSize, MemberNames& names,
                                  Diagnostics& diagnostics) {
    const std::optional<InputFile> index = openOrReport(indexPath, diagnostics);
    if (!index) return std::nullopt;
    IndexReader reader(readFromFd(index->fd.get()));
    (void)reader.readHeaderLine();
    (void)reader.readHeaderLine();
    // Names read as bcl reads them everywhere: a code page converted, a backslash a separator.
    // A name that does not convert is reported by pathOf, and left out.
    const auto treePath = [&](std::string_view stored) { return names.pathOf(stored, diagnostics); };
    MountTreeBuilder builder(treePath, dataSize, diagnostics, names.style());
    while (const std::optional<ListMLV> entry = reader.nextEntry()) builder.add(*entry);
    if (isReportedStop(reader.stop().reason)) diagnostics.reportPlain(stopReport(indexPath, reader.stop()));
    return std::move(builder).finish();
}

// Says why a mount point cannot take the mount, in words better than FUSE's own.
bool mountPointUsable(const std::string& mountPoint, Diagnostics& diagnostics) {
    struct stat st {};
    if (::stat(mountPoint.c_str(), &st) != 0) {
        diagnostics.report(mountPoint, "cannot mount: " + systemReason(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        diagnostics.report(mountPoint, "cannot mount: " + systemReason(ENOTDIR));
        return false;
    }
    if (::access("/dev/fuse", F_OK) != 0) {
        diagnostics.report("/dev/fuse", "cannot mount: " + systemReason(errno) + " (FUSE is not available here)");
        return false;
    }
    return true;
}

// FUSE splits options at commas and takes a backslash as an escape.
std::string escapeFuseOptionValue(std::string_view value) {
    std::string escaped;
    for (const char c : value) {
        if (c == ',' || c == '\\') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

// Options for FUSE: the user's, then those that keep the mount read-only and name it, last so
// that they win.
bool addFuseArguments(FuseArgs& args, const std::string& dataPath, const std::vector<std::string>& userOptions) {
    bool ok = args.add("bcl");
    for (const std::string& option : userOptions) ok = ok && args.add("-o") && args.add(option);
    return ok && args.add("-o") &&
           args.add("ro,default_permissions,subtype=bcl,fsname=" + escapeFuseOptionValue(dataPath));
}

// Detaches from the terminal once the mount is in place. The parent returns only after the
// child is ready to serve, so the mount is usable when `bcl mount` ends.
enum class Side { Parent, Child };
std::optional<Side> detach(Diagnostics& diagnostics) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        diagnostics.reportPlain("cannot start the background process: " + systemReason(errno));
        return std::nullopt;
    }
    const UniqueFd readEnd(ready[0]);
    UniqueFd writeEnd(ready[1]);
    const pid_t pid = ::fork();
    if (pid < 0) {
        diagnostics.reportPlain("cannot start the background process: " + systemReason(errno));
        return std::nullopt;
    }
    if (pid > 0) {
        writeEnd.reset();
        char byte = 0;
        ssize_t n = 0;
        do n = ::read(readEnd.get(), &byte, 1);
        while (n < 0 && errno == EINTR);
        if (n == 1) return Side::Parent;
        diagnostics.reportPlain("the background process ended before it could serve the mount");
        return std::nullopt;
    }
    ::setsid();
    if (::chdir("/") != 0) return std::nullopt;
    if (const UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC)); null) {
        for (int fd = 0; fd <= 2; ++fd) ::dup2(null.get(), fd);
    }
    const char byte = 1;
    if (::write(writeEnd.get(), &byte, 1) != 1) return std::nullopt;
    return Side::Child;
}

// The child serves the mount and takes it down; the parent only reports. It ends at once, as
// daemon(3) does, because tearing down its copy of the session would either unmount what the
// child serves or leave libfuse's copy of the mount point's name unfreed.
[[noreturn]] void endParent(int exitCode) { ::_exit(exitCode); }

}  // namespace

int mountArchive(const ArchivePaths& paths, const MountOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    if (!mountPointUsable(options.mountPoint, diagnostics)) return kBclCannotRun;
    std::optional<InputFile> data = openDataOrReport(paths.data, diagnostics);
    if (!data) return kBclCannotRun;
    ServedArchive archive;
    archive.data = std::move(data->fd);
    const SysResult<std::int64_t> dataSize = fileSize(archive.data.get());
    if (::fstat(archive.data.get(), &archive.dataStat) != 0 || !dataSize) {
        diagnostics.report(paths.data, "cannot read: " + systemReason(dataSize ? errno : dataSize.error()));
        return kBclCannotRun;
    }
    // A block device's status says 0 bytes; the device's own size is what members lie in.
    archive.dataStat.st_size = static_cast<off_t>(*dataSize);
    std::optional<MemberNames> names = MemberNames::make(options.names, diagnostics);
    if (!names) return kBclCannotRun;
    std::optional<MountTree> tree = readTree(paths.index, archive.dataStat.st_size, *names, diagnostics);
    if (!tree) return kBclCannotRun;
    archive.tree = std::move(*tree);

    FuseArgs args;
    if (!addFuseArguments(args, paths.data, options.fuseOptions)) throw std::bad_alloc();
    const fuse_lowlevel_ops ops = servingOperations();
    FuseSession session(fuse_session_new(args.get(), &ops, sizeof ops, &archive));
    if (!session) {
        diagnostics.report(options.mountPoint, "cannot mount: FUSE refused the options");
        return kBclCannotRun;
    }
    if (!session.mount(options.mountPoint)) {
        diagnostics.report(options.mountPoint, "cannot mount: FUSE could not mount here");
        return kBclCannotRun;
    }
    // Mounted: that is what the exit status says, so that "bcl mount A m && ls m" works. The
    // names left out have been reported, each on its own line.
    if (!options.foreground) {
        const std::optional<Side> side = detach(diagnostics);
        if (!side) return kBclCannotRun;
        if (*side == Side::Parent) endParent(kBclOk);
    }
    return serve(session);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command mountCommand() {
    const auto options = std::make_shared<MountOptions>();
    Command command;
    command.name = "mount";
    command.summary = "Mount the archive read-only at MOUNTPOINT; returns once it is usable, serving in the background.";
    command.options.push_back(flagOption("-f,--foreground", "serve in the foreground until unmounted",
                                      partOf(options, options->foreground)));
    command.options.push_back(textsOption("-o", "OPTION", "a FUSE mount option, e.g. allow_other (repeatable)",
                                       partOf(options, options->fuseOptions)));
    addNameOptions(command, partOf(options, options->names),
                   "names are in code page NAME (CP437, CP932, ...): shown as UTF-8");
    command.operandName = "MOUNTPOINT";
    command.operandHelp = "[ARCHIVE] MOUNTPOINT, an existing directory";
    command.misuse = [](const std::vector<std::string>& operands) -> std::string {
        return operands.size() != 1 ? "give the mount point (after the archive, if named)" : "";
    };
    command.run = [options](const CommandCall& call) {
        options->mountPoint = call.operands.front();
        return mountArchive(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
