// SPDX-License-Identifier: MIT
#include "member_names.hpp"

#include <algorithm>

#include "unbcl/index_format.hpp"

namespace unbcl::bcl {

std::optional<MemberNames> MemberNames::make(const NameOptions& options, Diagnostics& diagnostics) {
    if (options.charset.empty()) return MemberNames(options.literalNames, {}, std::nullopt);
    SysResult<NameCharset> charset = NameCharset::open(options.charset, NameCharset::Direction::ToUtf8);
    if (!charset) {
        diagnostics.report(options.charset, NameCharset::describeOpenFailure(options.charset, charset.error()));
        return std::nullopt;
    }
    return MemberNames(options.literalNames, options.charset, std::move(*charset));
}

std::optional<std::string> MemberNames::convertedPath(std::string_view stored, std::string& problem) {
    std::string path(stored);
    if (charset_) {
        // Converted first: in a double-byte code page, 0x5C can be half of a character.
        SysResult<std::string> converted = charset_->convert(stored);
        if (!converted) {
            problem = "name does not convert from " + charsetName_ + ": " + systemReason(converted.error());
            return std::nullopt;
        }
        path = std::move(*converted);
        // A code page can turn bytes into a NUL, which would end the name early wherever it is
        // used: a different file would be written.
        if (path.find('\0') != std::string::npos) {
            problem = "name does not convert from " + charsetName_ + ": it would hold a NUL byte";
            return std::nullopt;
        }
    }
    if (!literal_) std::replace(path.begin(), path.end(), '\\', '/');
    return normalizedPath(path);
}

std::optional<std::string> MemberNames::pathOf(std::string_view stored, Diagnostics& diagnostics) {
    std::string problem;
    std::optional<std::string> path = convertedPath(stored, problem);
    if (!path) diagnostics.report(stored, problem);
    return path;
}

std::string MemberNames::shownName(std::string_view stored) {
    std::string problem;
    return convertedPath(stored, problem).value_or(std::string(stored));
}

std::string caseFolded(std::string_view name) {
    std::string folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return folded;
}

std::optional<std::string> pathComponentProblem(std::string_view path) {
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash - start > kMaxPathComponentBytes) {
            return "a part of the name is longer than " + std::to_string(kMaxPathComponentBytes) + " bytes";
        }
        start = slash + 1;
    }
    return std::nullopt;
}

std::string normalizedPath(std::string_view path) {
    // "a//b", "./a/b" and "a/./b" are one file on disk, so bcl treats them as one name. A
    // leading separator stays (an absolute name), and so does a trailing one (a name that
    // cannot be a file): both are refused, not repaired.
    std::string out;
    if (!path.empty() && path.front() == '/') out = "/";
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (!namesNoEntry(component)) {
            if (!out.empty() && out.back() != '/') out += '/';
            out += component;
        }
        start = end + 1;
    }
    if (path.size() > 1 && path.back() == '/' && !out.empty() && out.back() != '/') out += '/';
    if (out.empty() && !path.empty()) return std::string(path.back() == '/' ? "./" : ".");
    return out;
}

}  // namespace unbcl::bcl
