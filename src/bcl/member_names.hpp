// SPDX-License-Identifier: MIT
// How bcl reads the names an index stores: from an old code page to UTF-8 when asked, and with
// a backslash as a directory separator unless names are taken literally.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "unbcl/console.hpp"
#include "unbcl/member_name.hpp"
#include "unbcl/name_charset.hpp"

namespace unbcl::bcl {

struct NameOptions {
    bool literalNames = false;
    std::string charset;  // empty: names stay the bytes the index stores
};

// The name with ASCII letters in lower case: names equal so are one file where case is
// ignored (Windows, FAT). Other bytes are left as they are, whatever code page they are in.
std::string caseFolded(std::string_view name);

// "a//b", "./a/b" and "a/./b" give "a/b"; a leading or trailing '/' is kept.
std::string normalizedPath(std::string_view path);

// Why a path that pathOf gave cannot be written, or nothing when it can: a component longer
// than file systems take. A code page can make a short stored name long (CP437 0x80-0xFF
// become two or three bytes each), so this judges the converted path, for test, extract and
// mount alike.
std::optional<std::string> pathComponentProblem(std::string_view path);

class MemberNames {
public:
    // Nothing, reported, when the code page is unknown to iconv.
    static std::optional<MemberNames> make(const NameOptions& options, Diagnostics& diagnostics);

    // The name bcl shows, matches and writes for a stored one, with '/' between components;
    // nothing, reported, when it does not convert from the code page.
    std::optional<std::string> pathOf(std::string_view stored, Diagnostics& diagnostics);
    // How a stored name is shown in a report: as pathOf gives it, or as stored when it does
    // not convert (that was reported where it mattered).
    std::string shownName(std::string_view stored);

    // How to judge what pathOf gives: a drive letter stays absolute after conversion.
    NameStyle style() const { return literal_ ? NameStyle::Unix : NameStyle::Dos; }

private:
    std::optional<std::string> convertedPath(std::string_view stored, std::string& problem);

    MemberNames(bool literal, std::string charsetName, std::optional<NameCharset> charset)
        : literal_(literal), charsetName_(std::move(charsetName)), charset_(std::move(charset)) {}

    bool literal_;
    std::string charsetName_;
    std::optional<NameCharset> charset_;
};

}  // namespace unbcl::bcl
