// JSON text for archive names, which are bytes and not always UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace unbcl::bcl {

// The JSON fields of a name: "name" as a string when its bytes are valid UTF-8; otherwise the
// string has U+FFFD for each byte that is not, and "name_hex" carries the exact bytes.
std::string jsonNameFields(std::string_view name);

}  // namespace unbcl::bcl
