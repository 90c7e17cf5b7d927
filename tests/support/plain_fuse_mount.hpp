// SPDX-License-Identifier: MIT
// plain_fuse_fs mounted for one test: a directory on a file system without unnamed files.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "test_support.hpp"

namespace unbcl::test {

struct PlainFuseOptions {
    // Renames that would swap two names, or that must not replace one, fail with EINVAL.
    bool refuseExchange = false;
    bool refuseNoReplace = false;
};

// Runs plain_fuse_fs in the foreground as a child over a fresh backing directory. Whatever the
// test does, the destructor detaches the mount and reaps the server, killing it if it does not
// end, so nothing stays mounted after a failed test; a server that did not end cleanly fails the
// test.
class PlainFuseMount {
public:
    explicit PlainFuseMount(PlainFuseOptions options = {});
    ~PlainFuseMount();
    PlainFuseMount(const PlainFuseMount&) = delete;
    PlainFuseMount& operator=(const PlainFuseMount&) = delete;

    bool mounted() const { return mounted_; }
    // The mount's root, and the directory it mirrors (for looking behind the mount).
    const std::filesystem::path& path() const { return mountPoint_; }
    const std::filesystem::path& backing() const { return backing_; }
    std::filesystem::path operator/(std::string_view name) const { return mountPoint_ / name; }
    // What the server wrote to standard error, for a failure's message.
    std::string serverErr() const;

private:
    bool serverEnded();

    // Declared first, so that it goes last: after the unmount.
    ScratchDir dir_;
    std::filesystem::path backing_;
    std::filesystem::path mountPoint_;
    pid_t pid_ = -1;
    int status_ = 0;  // the server's wait status once ended
    bool ended_ = false;
    bool mounted_ = false;
};

}  // namespace unbcl::test
