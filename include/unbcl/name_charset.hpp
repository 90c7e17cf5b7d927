// SPDX-License-Identifier: MIT
// Converting names between an old code page (CP437, CP932, ...) and UTF-8 with iconv.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>
#include <utility>

#include "unbcl/file_io.hpp"

namespace unbcl {

class NameCharset {
public:
    enum class Direction { ToUtf8, FromUtf8 };

    // Any code page iconv knows; fails with EINVAL for one it does not.
    static SysResult<NameCharset> open(const std::string& codePage, Direction direction);

    NameCharset(NameCharset&& other) noexcept : cd_(std::exchange(other.cd_, kClosed)) {}
    NameCharset& operator=(NameCharset&& other) noexcept;
    NameCharset(const NameCharset&) = delete;
    NameCharset& operator=(const NameCharset&) = delete;
    ~NameCharset();

    // The whole name converted, or EILSEQ/EINVAL when a byte or character has no counterpart:
    // a name is converted entirely or not at all, never approximated.
    SysResult<std::string> convert(std::string_view name);

private:
    static inline const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
    explicit NameCharset(iconv_t cd) : cd_(cd) {}
    iconv_t cd_ = kClosed;
};

}  // namespace unbcl
