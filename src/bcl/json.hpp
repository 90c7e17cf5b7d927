// SPDX-License-Identifier: MIT
// JSON text for archive names, which are bytes and not always UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace unbcl::bcl {

// The JSON fields of a text from the archive: "KEY" as a string when its bytes are valid
// UTF-8; otherwise the string has U+FFFD for each byte that is not, and "KEY_hex" carries the
// exact bytes.
std::string jsonTextFields(std::string_view key, std::string_view text);
inline std::string jsonNameFields(std::string_view name) { return jsonTextFields("name", name); }

// Bytes as lower-case hexadecimal.
std::string hexBytes(std::string_view bytes);

}  // namespace unbcl::bcl
