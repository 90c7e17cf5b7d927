// SPDX-License-Identifier: MIT
// One run of unbcl: list the index, then extract every member.
#pragma once

#include <span>
#include <string>

#include "unbcl/console.hpp"

namespace unbcl {

enum UnbclExit : int {
    kUnbclSuccess = 0,
    kUnbclIndexUnopenable = 1,
    kUnbclDataUnopenable = 2,
    kUnbclOutOfMemory = 3,
    kUnbclWithReports = 4,  // the run completed, but something went to standard error
};

// args are the command-line arguments after the program name. Throws std::bad_alloc when
// memory runs out; everything else ends in an exit code.
int runUnbcl(std::span<const std::string> args, const StandardStreams& streams);

}  // namespace unbcl
