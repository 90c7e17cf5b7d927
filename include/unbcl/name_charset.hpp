// SPDX-License-Identifier: MIT
// Converting names between an old code page (CP437, CP932, ...) and UTF-8 with iconv.
#pragma once

#include <iconv.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "unbcl/file_io.hpp"

namespace unbcl {

class NameCharset {
public:
    enum class Direction { ToUtf8, FromUtf8 };

    // Any code page iconv knows; fails with EINVAL for one it does not, and for a name that
    // carries a suffix (see codePageProblem).
    static SysResult<NameCharset> open(const std::string& codePage, Direction direction);

    // Why a code page name is refused, or nothing when iconv may be asked for it. A suffix
    // after "//" (TRANSLIT, IGNORE) lets iconv write another name in place of the one given,
    // so it is refused; "CP437//", as iconv lists its names, is the code page alone.
    static std::optional<std::string> codePageProblem(std::string_view codePage);

    // The report for a code page that open refused: the suffix, or that iconv does not know it.
    static std::string describeOpenFailure(std::string_view codePage, int errnum);

    NameCharset(NameCharset&& other) noexcept
        : cd_(std::exchange(other.cd_, kClosed)), back_(std::exchange(other.back_, kClosed)) {}
    NameCharset& operator=(NameCharset&& other) noexcept;
    NameCharset(const NameCharset&) = delete;
    NameCharset& operator=(const NameCharset&) = delete;
    ~NameCharset();

    // The whole name converted, or EILSEQ/EINVAL when a byte or character has no counterpart:
    // a name is converted entirely or not at all, never approximated. Written into a code page
    // (FromUtf8), a name must also read back as the bytes it came from: iconv maps some
    // characters onto others without saying so (CP932 writes U+00A5 as 0x5C, a backslash).
    SysResult<std::string> convert(std::string_view name);

private:
    static inline const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
    NameCharset(iconv_t cd, iconv_t back) : cd_(cd), back_(back) {}
    static SysResult<std::string> convertWith(iconv_t cd, std::string_view name);

    iconv_t cd_ = kClosed;
    iconv_t back_ = kClosed;  // FromUtf8 only: the code page to UTF-8, to check the round trip
};

}  // namespace unbcl
