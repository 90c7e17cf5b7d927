// SPDX-License-Identifier: MIT
// Checksums of members, as preservation hash lists give them, computed while streaming.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.hpp"

namespace unbcl::bcl {

std::string_view hashName(HashAlgorithm algorithm);  // "crc32", "md5", "sha1", "sha256"
std::optional<HashAlgorithm> hashFromName(std::string_view name);

struct MemberHashes {
    std::vector<std::string> hex;  // one per algorithm asked for, lower-case hexadecimal
    std::int64_t hashed = 0;       // the member's bytes that exist and were read
    int readErrno = 0;
};

// Reads each member once, in blocks of one reused buffer, feeding every algorithm asked for.
class MemberHasher {
public:
    explicit MemberHasher(std::vector<HashAlgorithm> algorithms);
    ~MemberHasher();
    MemberHasher(const MemberHasher&) = delete;
    MemberHasher& operator=(const MemberHasher&) = delete;

    // Hashes the bytes of [offset, offset + length) that the data file holds.
    MemberHashes hash(int dataFd, std::int64_t offset, std::int64_t length);

private:
    struct Digests;
    std::vector<HashAlgorithm> algorithms_;
    std::unique_ptr<Digests> digests_;
    std::unique_ptr<char[]> block_;
};

}  // namespace unbcl::bcl
