// One run of unbcl: list the index, then extract every member.
#pragma once

#include <span>
#include <string>

namespace unbcl {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitIndexUnopenable = 1,
    kExitDataUnopenable = 2,
    kExitOutOfMemory = 3,
    kExitWithReports = 4,  // the run completed, but something went to standard error
};

struct RunStreams {
    int out = 1;
    int err = 2;
    bool outIsTerminal = false;
};

// args are the command-line arguments after the program name. Throws std::bad_alloc when
// memory runs out; everything else ends in an exit code.
int runUnbcl(std::span<const std::string> args, const RunStreams& streams);

}  // namespace unbcl
