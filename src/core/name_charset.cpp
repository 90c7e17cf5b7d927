// SPDX-License-Identifier: MIT
#include "unbcl/name_charset.hpp"

#include <cerrno>

namespace unbcl {

SysResult<NameCharset> NameCharset::open(const std::string& codePage, Direction direction) {
    const bool toUtf8 = direction == Direction::ToUtf8;
    const iconv_t cd = ::iconv_open(toUtf8 ? "UTF-8" : codePage.c_str(), toUtf8 ? codePage.c_str() : "UTF-8");
    if (cd == kClosed) return SysResult<NameCharset>::failure(errno);
    return NameCharset(cd);
}

NameCharset& NameCharset::operator=(NameCharset&& other) noexcept {
    if (this != &other) {
        if (cd_ != kClosed) ::iconv_close(cd_);
        cd_ = std::exchange(other.cd_, kClosed);
    }
    return *this;
}

NameCharset::~NameCharset() {
    if (cd_ != kClosed) ::iconv_close(cd_);
}

SysResult<std::string> NameCharset::convert(std::string_view name) {
    // Each name starts from the initial shift state, whatever the last one left behind.
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out(name.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(name.data());
    std::size_t inLeft = name.size();
    char* next = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        if (::iconv(cd_, &in, &inLeft, &next, &outLeft) != static_cast<std::size_t>(-1)) continue;
        if (errno != E2BIG) return SysResult<std::string>::failure(errno);
        const auto used = static_cast<std::size_t>(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        outLeft = out.size() - used;
    }
    // A stateful encoding may owe bytes that return it to its initial state.
    if (::iconv(cd_, nullptr, nullptr, &next, &outLeft) == static_cast<std::size_t>(-1)) {
        return SysResult<std::string>::failure(errno);
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
    return out;
}

}  // namespace unbcl
