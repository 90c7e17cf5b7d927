// SPDX-License-Identifier: MIT
#include "member_names.hpp"

#include <algorithm>

namespace unbcl::bcl {

std::optional<MemberNames> MemberNames::make(const NameOptions& options, Diagnostics& diagnostics) {
    if (options.charset.empty()) return MemberNames(options.literalNames, {}, std::nullopt);
    SysResult<NameCharset> charset = NameCharset::open(options.charset, NameCharset::Direction::ToUtf8);
    if (!charset) {
        diagnostics.report(options.charset, "unknown character set: " + systemReason(charset.error()));
        return std::nullopt;
    }
    return MemberNames(options.literalNames, options.charset, std::move(*charset));
}

std::optional<std::string> MemberNames::pathOf(std::string_view stored, Diagnostics& diagnostics) {
    std::string path(stored);
    if (charset_) {
        // Converted first: in a double-byte code page, 0x5C can be half of a character.
        SysResult<std::string> converted = charset_->convert(stored);
        if (!converted) {
            diagnostics.report(stored, "name does not convert from " + charsetName_ + ": " +
                                           systemReason(converted.error()));
            return std::nullopt;
        }
        path = std::move(*converted);
    }
    if (!literal_) std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

}  // namespace unbcl::bcl
