// SPDX-License-Identifier: MIT
#include "json.hpp"

#include "unbcl/console.hpp"

namespace unbcl::bcl {

namespace {

void appendJsonString(std::string& out, std::string_view text, bool& valid) {
    out += '"';
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        const std::size_t n = utf8SequenceLength(text);
        if (n == 0) {
            valid = false;
            out += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            appendHexByte(out, c);
        } else {
            out.append(text.substr(0, n));
        }
        text.remove_prefix(n);
    }
    out += '"';
}

}  // namespace

std::string hexBytes(std::string_view bytes) {
    std::string hex;
    for (const char ch : bytes) appendHexByte(hex, static_cast<unsigned char>(ch));
    return hex;
}

std::string jsonTextFields(std::string_view key, std::string_view text) {
    // Appended piece by piece: g++ 12 at -O2 warns wrongly (-Wrestrict) about "..." + string.
    std::string out;
    out.append("\"").append(key).append("\": ");
    bool valid = true;
    appendJsonString(out, text, valid);
    if (!valid) out.append(", \"").append(key).append("_hex\": \"").append(hexBytes(text)).append("\"");
    return out;
}

}  // namespace unbcl::bcl
