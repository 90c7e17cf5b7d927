// SPDX-License-Identifier: MIT
#include "member_hash.hpp"

#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <stdexcept>

#include "unbcl/console.hpp"

namespace unbcl::bcl {

namespace {

constexpr std::size_t kBlockSize = 128 * 1024;

struct EvpContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using EvpContext = std::unique_ptr<EVP_MD_CTX, EvpContextFree>;

const EVP_MD* evpDigest(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Md5: return EVP_md5();
        case HashAlgorithm::Sha1: return EVP_sha1();
        case HashAlgorithm::Sha256: return EVP_sha256();
        case HashAlgorithm::Crc32: break;
    }
    return nullptr;
}

std::string hexOf(const unsigned char* bytes, std::size_t size) {
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) appendHexByte(hex, bytes[i]);
    return hex;
}

}  // namespace

// One running state per algorithm: zlib's CRC-32, or an OpenSSL digest context.
struct MemberHasher::Digests {
    std::vector<EvpContext> evp;
    uLong crc = 0;
};

std::string_view hashName(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Crc32: return "crc32";
        case HashAlgorithm::Md5: return "md5";
        case HashAlgorithm::Sha1: return "sha1";
        case HashAlgorithm::Sha256: return "sha256";
    }
    return {};
}

std::optional<HashAlgorithm> hashFromName(std::string_view name) {
    for (const HashAlgorithm a : {HashAlgorithm::Crc32, HashAlgorithm::Md5, HashAlgorithm::Sha1, HashAlgorithm::Sha256}) {
        if (hashName(a) == name) return a;
    }
    return std::nullopt;
}

MemberHasher::MemberHasher(std::vector<HashAlgorithm> algorithms)
    : algorithms_(std::move(algorithms)), digests_(std::make_unique<Digests>()),
      block_(std::make_unique_for_overwrite<char[]>(kBlockSize)) {
    for (std::size_t i = 0; i < algorithms_.size(); ++i) {
        digests_->evp.emplace_back(EVP_MD_CTX_new());
        if (!digests_->evp.back()) throw std::bad_alloc();
    }
}

MemberHasher::~MemberHasher() = default;

MemberHashes MemberHasher::hash(int dataFd, std::int64_t offset, std::int64_t length) {
    MemberHashes result;
    digests_->crc = crc32_z(0, nullptr, 0);
    for (std::size_t i = 0; i < algorithms_.size(); ++i) {
        if (const EVP_MD* md = evpDigest(algorithms_[i])) EVP_DigestInit_ex(digests_->evp[i].get(), md, nullptr);
    }
    while (offset >= 0 && result.hashed < length) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(length - result.hashed, static_cast<std::int64_t>(kBlockSize)));
        const ssize_t n = ::pread(dataFd, block_.get(), want, offset + result.hashed);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.readErrno = errno;
            break;
        }
        if (n == 0) break;  // the data file ends here: what exists is hashed
        const auto got = static_cast<std::size_t>(n);
        digests_->crc = crc32_z(digests_->crc, reinterpret_cast<const Bytef*>(block_.get()), got);
        for (std::size_t i = 0; i < algorithms_.size(); ++i) {
            if (evpDigest(algorithms_[i]) != nullptr) EVP_DigestUpdate(digests_->evp[i].get(), block_.get(), got);
        }
        result.hashed += n;
    }
    for (std::size_t i = 0; i < algorithms_.size(); ++i) {
        if (algorithms_[i] == HashAlgorithm::Crc32) {
            const auto crc = static_cast<std::uint32_t>(digests_->crc);
            const unsigned char bytes[4] = {static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
                                            static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
            result.hex.push_back(hexOf(bytes, sizeof bytes));
            continue;
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(digests_->evp[i].get(), digest, &size);
        result.hex.push_back(hexOf(digest, size));
    }
    return result;
}

}  // namespace unbcl::bcl
