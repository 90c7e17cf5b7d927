// SPDX-License-Identifier: MIT
// bcl extract -j: members written by several threads and answered exactly as one thread
// answers them.
#pragma once

#include <functional>
#include <vector>

#include "archive_access.hpp"
#include "unbcl/extract.hpp"

namespace unbcl::bcl {

// What a BeneathExtractor is made from; each thread makes its own.
struct ExtractorSetup {
    int dataFd = -1;
    std::vector<ProtectedFile> protectedFiles;
    BeneathPolicy policy;
};

// Runs on the calling thread for a member, in index order, with what extracting it did.
using MemberExtracted = std::function<void(const NamedEntry&, const ExtractedMember&)>;

// Extracts the chosen members with up to jobs threads. The calls to extracted and the tree left
// behind are those of extracting the members one by one in index order. When a held signal
// stops a member, extracted is called for it and for none after it: those later members that
// other threads had written by then go to writtenAfterInterrupt instead, in index order, since
// one thread would not have written them.
void extractWithThreads(const std::vector<NamedEntry>& chosen, const ExtractorSetup& setup, unsigned jobs,
                        const MemberExtracted& extracted, const MemberExtracted& writtenAfterInterrupt);

}  // namespace unbcl::bcl
