// SPDX-License-Identifier: MIT
// Where a member name is judged safe to write.
#pragma once

#include <string>
#include <string_view>

namespace unbcl {

enum class NameVerdict {
    Safe,
    Absolute,     // starts with a separator
    DriveLetter,  // starts with a drive letter, "C:"
    ParentStep,   // has a ".." path component
};

// How a stored name separates its components. Unix: '/' only, every other byte is part of a
// component. Dos: '\' separates too, and a drive letter makes a name absolute, as names
// written on old systems mean them.
enum class NameStyle { Unix, Dos };

// A name is written relative to the extraction directory; it must not climb out of it.
// Whole components count: "a..b" and "..a" are fine, "a/../b" and ".." are not.
NameVerdict judgeMemberName(std::string_view name, NameStyle style = NameStyle::Unix);

// Whether a path component names no directory entry of its own: an empty one ("a//b") and "."
// are stepped over, by the kernel and so by every walk of a member's name.
inline bool namesNoEntry(std::string_view component) { return component.empty() || component == "."; }

// Whether the name's last component can be a file: "d/" and "d/." name a directory, and
// making directories for them would leave one behind for a member that cannot be written.
bool endsInAFileName(std::string_view name);

// The name with its ASCII letters in lower case and every other byte as it is: what -L writes,
// and what case-insensitive comparisons of names compare.
std::string asciiLowercase(std::string_view name);

// The words every program uses for an unsafe verdict ("absolute name"); empty for Safe.
std::string_view describeNameVerdict(NameVerdict verdict);

}  // namespace unbcl
