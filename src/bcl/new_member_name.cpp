// SPDX-License-Identifier: MIT
#include "new_member_name.hpp"

#include "member_names.hpp"
#include "unbcl/console.hpp"
#include "unbcl/index_writer.hpp"
#include "unbcl/member_name.hpp"

namespace unbcl::bcl {

std::optional<std::string> newMemberNameProblem(std::string_view name, std::string_view stored, bool literalNames) {
    if (auto problem = memberNameProblem(stored)) return problem;
    // bcl reads a backslash as a separator and a drive letter as absolute: such a name would
    // not come back as the file it was made from. Judged on the name before a code page
    // turns it into bytes, as bcl reads it back: converted first, then split.
    if (!literalNames && name.find('\\') != std::string_view::npos) {
        return "name holds a backslash, a directory separator to bcl (--literal-names keeps it)";
    }
    if (const NameVerdict verdict = judgeMemberName(name, NameStyle::Dos); !literalNames && verdict != NameVerdict::Safe) {
        return std::string(describeNameVerdict(verdict));
    }
    // Names made from files always pass what follows; a name typed for rename may not.
    if (!endsInAFileName(name)) return "the name ends in a directory, not a file";
    if (const std::string shown = normalizedPath(name); shown != name) {
        return "the name would read back as " + escapeControlBytes(shown);
    }
    if (auto problem = pathComponentProblem(name)) return problem;
    return std::nullopt;
}

}  // namespace unbcl::bcl
