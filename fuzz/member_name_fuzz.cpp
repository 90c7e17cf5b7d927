// SPDX-License-Identifier: MIT
// Any byte string through the name check, against the rule stated over path components.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "unbcl/member_name.hpp"

namespace {

bool climbsOut(const std::string& name) {
    std::istringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "..") return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const bool absolute = !name.empty() && name[0] == '/';
    const bool expectSafe = !absolute && !climbsOut(name);
    if ((unbcl::judgeMemberName(name) == unbcl::NameVerdict::Safe) != expectSafe) std::abort();
    return 0;
}
