// Where a member name is judged safe to write.
#pragma once

#include <string_view>

namespace unbcl {

enum class NameVerdict {
    Safe,
    Absolute,    // starts with '/'
    ParentStep,  // has a ".." path component
};

// A name is written relative to the extraction directory; it must not climb out of it.
// Whole components count: "a..b" and "..a" are fine, "a/../b" and ".." are not.
NameVerdict judgeMemberName(std::string_view name);

// The words every program uses for an unsafe verdict ("absolute name"); empty for Safe.
std::string_view describeNameVerdict(NameVerdict verdict);

}  // namespace unbcl
