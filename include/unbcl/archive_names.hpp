// SPDX-License-Identifier: MIT
// The names an archive's two files have when nobody names them.
#pragma once

#include <string_view>

namespace unbcl {

inline constexpr std::string_view kDefaultListFname = "MOLVARE.BCL";
inline constexpr std::string_view kDefaultDataFname = "MOLVARE.BCD";

}  // namespace unbcl
