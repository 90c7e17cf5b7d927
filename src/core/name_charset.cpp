// SPDX-License-Identifier: MIT
#include "unbcl/name_charset.hpp"

#include <cerrno>

namespace unbcl {

namespace {

void closeIfOpen(iconv_t cd, iconv_t closed) {
    if (cd != closed) ::iconv_close(cd);
}

}  // namespace

std::optional<std::string> NameCharset::codePageProblem(std::string_view codePage) {
    const std::size_t slash = codePage.find('/');
    if (slash == std::string_view::npos || codePage.find_first_not_of('/', slash) == std::string_view::npos) {
        return std::nullopt;
    }
    return "refused character set: the suffix " + std::string(codePage.substr(slash)) +
           " would let names be changed; name the code page alone";
}

std::string NameCharset::describeOpenFailure(std::string_view codePage, int errnum) {
    if (auto problem = codePageProblem(codePage)) return std::move(*problem);
    return "unknown character set: " + systemReason(errnum);
}

SysResult<NameCharset> NameCharset::open(const std::string& codePage, Direction direction) {
    if (codePageProblem(codePage)) return SysResult<NameCharset>::failure(EINVAL);
    const bool toUtf8 = direction == Direction::ToUtf8;
    const iconv_t cd = ::iconv_open(toUtf8 ? "UTF-8" : codePage.c_str(), toUtf8 ? codePage.c_str() : "UTF-8");
    if (cd == kClosed) return SysResult<NameCharset>::failure(errno);
    if (toUtf8) return NameCharset(cd, kClosed);
    const iconv_t back = ::iconv_open("UTF-8", codePage.c_str());
    if (back == kClosed) {
        const int err = errno;
        ::iconv_close(cd);
        return SysResult<NameCharset>::failure(err);
    }
    return NameCharset(cd, back);
}

NameCharset& NameCharset::operator=(NameCharset&& other) noexcept {
    if (this != &other) {
        closeIfOpen(cd_, kClosed);
        closeIfOpen(back_, kClosed);
        cd_ = std::exchange(other.cd_, kClosed);
        back_ = std::exchange(other.back_, kClosed);
    }
    return *this;
}

NameCharset::~NameCharset() {
    closeIfOpen(cd_, kClosed);
    closeIfOpen(back_, kClosed);
}

SysResult<std::string> NameCharset::convert(std::string_view name) {
    SysResult<std::string> converted = convertWith(cd_, name);
    if (!converted || back_ == kClosed) return converted;
    const SysResult<std::string> readBack = convertWith(back_, *converted);
    if (!readBack || *readBack != name) return SysResult<std::string>::failure(EILSEQ);
    return converted;
}

SysResult<std::string> NameCharset::convertWith(iconv_t cd, std::string_view name) {
    // Each name starts from the initial shift state, whatever the last one left behind.
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out(name.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(name.data());
    std::size_t inLeft = name.size();
    char* next = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        const std::size_t result = ::iconv(cd, &in, &inLeft, &next, &outLeft);
        // iconv counts the characters it could only approximate; such a name is not this one.
        if (result != static_cast<std::size_t>(-1)) {
            if (result != 0) return SysResult<std::string>::failure(EILSEQ);
            continue;
        }
        if (errno != E2BIG) return SysResult<std::string>::failure(errno);
        const auto used = static_cast<std::size_t>(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        outLeft = out.size() - used;
    }
    // A stateful encoding may owe bytes that return it to its initial state.
    if (::iconv(cd, nullptr, nullptr, &next, &outLeft) == static_cast<std::size_t>(-1)) {
        return SysResult<std::string>::failure(errno);
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
    return out;
}

}  // namespace unbcl
