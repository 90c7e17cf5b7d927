// SPDX-License-Identifier: MIT
#include "temporary_name.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace unbcl {

namespace {

constexpr std::size_t kTemporaryLetters = 8;
constexpr std::string_view kTemporaryAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

}  // namespace

SysResult<std::string> randomTemporaryName(std::string_view prefix) {
    unsigned char bytes[kTemporaryLetters];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        return SysResult<std::string>::failure(errno);
    }
    std::string name(prefix);
    for (const unsigned char b : bytes) name += kTemporaryAlphabet[b % kTemporaryAlphabet.size()];
    return name;
}

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix) || name.size() != prefix.size() + kTemporaryLetters) return false;
    return name.substr(prefix.size()).find_first_not_of(kTemporaryAlphabet) == std::string_view::npos;
}

std::string procPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void TemporaryName::remove() {
    if (!name_.empty()) (void)::unlinkat(directory_, name_.c_str(), 0);
    name_.clear();
}

}  // namespace unbcl
