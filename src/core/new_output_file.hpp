// SPDX-License-Identifier: MIT
// An extracted member's file, out of sight until it is whole: a failed write or a killed
// process leaves whatever stood at the member's name before.
#pragma once

#include <string>

#include "temporary_name.hpp"
#include "unbcl/file_io.hpp"

namespace unbcl {

class NewOutputFile {
public:
    // A new, empty file in the directory open on parentFd (which must outlive it), not yet
    // under any name of its own where the file system allows that.
    static SysResult<NewOutputFile> begin(int parentFd);

    int fd() const { return file_.get(); }

    // Gives the file the name base in the parent directory: 0 or the errno of the failure.
    // Without replace, EEXIST when something already stands there; with it, what stands
    // there (a file, a symbolic link) is swapped out in one step, never followed.
    int place(const std::string& base, bool replace);

    // Closes the placed file: 0 or the errno of a failed close.
    int close() { return file_.close(); }

private:
    NewOutputFile(int parentFd, UniqueFd file, TemporaryName temporary)
        : parentFd_(parentFd), file_(std::move(file)), temporary_(std::move(temporary)) {}
    int linkUnnamed(const std::string& name) const;

    int parentFd_ = -1;
    UniqueFd file_;
    // Empty while the file is unnamed; where the file system has no unnamed files, the hidden
    // name it is written under, removed unless the file is placed.
    TemporaryName temporary_;
};

}  // namespace unbcl
