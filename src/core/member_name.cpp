// SPDX-License-Identifier: MIT
#include "unbcl/member_name.hpp"

namespace unbcl {

namespace {

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

NameVerdict judgeMemberName(std::string_view name, NameStyle style) {
    const std::string_view separators = style == NameStyle::Dos ? std::string_view("/\\") : std::string_view("/");
    if (!name.empty() && separators.find(name.front()) != std::string_view::npos) return NameVerdict::Absolute;
    if (style == NameStyle::Dos && name.size() >= 2 && isAsciiLetter(name[0]) && name[1] == ':') {
        return NameVerdict::DriveLetter;
    }
    while (!name.empty()) {
        const auto end = name.find_first_of(separators);
        if (name.substr(0, end) == "..") return NameVerdict::ParentStep;
        if (end == std::string_view::npos) break;
        name.remove_prefix(end + 1);
    }
    return NameVerdict::Safe;
}

bool endsInAFileName(std::string_view name) {
    const std::string_view last = name.substr(name.rfind('/') == std::string_view::npos ? 0 : name.rfind('/') + 1);
    return !namesNoEntry(last) && last != "..";
}

std::string asciiLowercase(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::string_view describeNameVerdict(NameVerdict verdict) {
    switch (verdict) {
        case NameVerdict::Absolute: return "absolute name";
        case NameVerdict::DriveLetter: return "absolute name (drive letter)";
        case NameVerdict::ParentStep: return "name has a '..' component";
        case NameVerdict::Safe: break;
    }
    return {};
}

}  // namespace unbcl
