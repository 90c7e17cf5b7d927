// SPDX-License-Identifier: MIT
// bcl extract -j: members written by several threads and reported exactly as one thread
// reports them.
#pragma once

#include <functional>
#include <vector>

#include "archive_access.hpp"
#include "unbcl/console.hpp"
#include "unbcl/extract.hpp"

namespace unbcl::bcl {

// What a MemberExtractor is made from; each thread makes its own.
struct ExtractorSetup {
    int dataFd = -1;
    std::vector<ProtectedFile> protectedFiles;
    OutputPolicy policy;
};

// Runs on the calling thread for each member, in index order, once the member's diagnostics
// have been written.
using MemberExtracted = std::function<void(const NamedEntry&, const ExtractedMember&)>;

// Extracts the chosen members with up to jobs threads. Standard error, the calls to extracted
// and the tree left behind are those of extracting the members one by one in index order.
void extractWithThreads(const std::vector<NamedEntry>& chosen, const ExtractorSetup& setup, unsigned jobs,
                        Diagnostics& diagnostics, const MemberExtracted& extracted);

}  // namespace unbcl::bcl
