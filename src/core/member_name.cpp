#include "unbcl/member_name.hpp"

namespace unbcl {

NameVerdict judgeMemberName(std::string_view name) {
    if (!name.empty() && name.front() == '/') return NameVerdict::Absolute;
    while (!name.empty()) {
        const auto slash = name.find('/');
        if (name.substr(0, slash) == "..") return NameVerdict::ParentStep;
        if (slash == std::string_view::npos) break;
        name.remove_prefix(slash + 1);
    }
    return NameVerdict::Safe;
}

std::string_view describeNameVerdict(NameVerdict verdict) {
    switch (verdict) {
        case NameVerdict::Absolute: return "absolute name";
        case NameVerdict::ParentStep: return "name has a '..' component";
        case NameVerdict::Safe: break;
    }
    return {};
}

}  // namespace unbcl
