// SPDX-License-Identifier: MIT
// unbcl [INDEX [DATA]]: lists an archive's index and writes every member into a file of its own.
#include <signal.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "run.hpp"
#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"

int main(int argc, char** argv) {
    if (const int err = unbcl::openStandardDescriptors(); err != 0) {
        unbcl::Diagnostics(STDERR_FILENO, "unbcl").report("/dev/null", unbcl::systemReason(err));
        return unbcl::kUnbclWithReports;
    }
    // A file size limit or a closed pipe should arrive as a write error to report, not as a
    // signal that kills the run halfway through the members.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        return unbcl::runUnbcl(args, {STDOUT_FILENO, STDERR_FILENO, ::isatty(STDOUT_FILENO) == 1,
                                        ::isatty(STDERR_FILENO) == 1});
    } catch (const std::bad_alloc&) {
        // Standard output is never held back, so all that was listed is already out.
        (void)unbcl::writeAll(STDERR_FILENO, "Abnormal program termination\n");
        return unbcl::kUnbclOutOfMemory;
    }
}
