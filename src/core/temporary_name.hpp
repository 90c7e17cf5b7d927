// SPDX-License-Identifier: MIT
// Hidden names for files that are not yet what they will be: fresh random names with a
// writer's own prefix, and a name that goes away with its owner.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include "unbcl/file_io.hpp"

namespace unbcl {

// The prefix followed by random letters; EEXIST-free collisions are left to the caller.
SysResult<std::string> randomTemporaryName(std::string_view prefix);

// Whether name has exactly the form randomTemporaryName gives with this prefix: a user's
// ".bcl-replace-notes.txt" is nobody's temporary file.
bool isTemporaryName(std::string_view name, std::string_view prefix);

// The path through which a descriptor's file can be linked under a name of its own.
std::string procPathOf(int fd);

// Calls make(name) with fresh temporary names until one is not taken; returns the name used.
template <typename Make>
SysResult<std::string> withFreshTemporaryName(std::string_view prefix, Make make) {
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        SysResult<std::string> name = randomTemporaryName(prefix);
        if (!name) return name;
        if (make(*name) == 0) return name;
        if (errno != EEXIST) return SysResult<std::string>::failure(errno);
    }
    return SysResult<std::string>::failure(EEXIST);
}

// A name in a directory that goes away with this object unless released.
class TemporaryName {
public:
    TemporaryName() = default;
    TemporaryName(int directory, std::string name) : directory_(directory), name_(std::move(name)) {}
    TemporaryName(TemporaryName&& other) noexcept
        : directory_(other.directory_), name_(std::exchange(other.name_, {})) {}
    TemporaryName& operator=(TemporaryName&& other) noexcept {
        if (this != &other) {
            remove();
            directory_ = other.directory_;
            name_ = std::exchange(other.name_, {});
        }
        return *this;
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    ~TemporaryName() { remove(); }

    const std::string& name() const { return name_; }
    bool empty() const { return name_.empty(); }
    // Removal is tidying: a caller that must know it failed removes the name itself.
    void remove();
    void release() { name_.clear(); }

private:
    int directory_ = -1;
    std::string name_;
};

}  // namespace unbcl
