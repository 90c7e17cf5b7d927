// SPDX-License-Identifier: MIT
// A small program over FileSetReplacement alone, so that a test can run the library's commit
// in a real process and fail one of its system calls at a time (strace's fault injection).
//
//   replace_driver DATA INDEX NEW_DATA NEW_INDEX   replaces both files; exit 1 on failure
//   replace_driver DATA INDEX                      only starts: repairs an interrupted commit
//
// Each failure and each note is one line on standard error.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "unbcl/archive_replace.hpp"

namespace {

int fail(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace unbcl;
    if (argc != 3 && argc != 5) return fail("usage: replace_driver DATA INDEX [NEW_DATA NEW_INDEX]");
    std::vector<ResolvedTarget> targets;
    for (int i = 1; i <= 2; ++i) {
        SysResult<ResolvedTarget> target = resolveTarget(argv[i]);
        if (!target) return fail(std::string(argv[i]) + ": " + systemReason(target.error()));
        targets.push_back(std::move(*target));
    }
    ReplacementStart started = FileSetReplacement::start(std::move(targets));
    if (const auto* failure = std::get_if<ReplaceFailure>(&started)) return fail(failure->path + ": " + failure->reason);
    FileSetReplacement& replacement = std::get<FileSetReplacement>(started);
    for (const Problem& note : replacement.notes()) std::fprintf(stderr, "note: %s\n", note.reason.c_str());
    if (argc == 3) return 0;
    for (std::size_t i = 0; i < 2; ++i) {
        if (const int err = writeAll(replacement.fd(i), argv[3 + i]); err != 0) {
            return fail(std::string(argv[1 + i]) + ": cannot write: " + systemReason(err));
        }
    }
    if (const auto failure = replacement.commit()) return fail(failure->path + ": " + failure->reason);
    return 0;
}
