// SPDX-License-Identifier: MIT
#include "parallel_extract.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <stop_token>
#include <system_error>
#include <thread>

#include "unbcl/output_groups.hpp"

namespace unbcl::bcl {

namespace {

// One member's result, handed from the thread that extracted it to the one that answers for it.
struct MemberOutcome {
    std::atomic<bool> ready{false};
    ExtractedMember extracted;
    std::exception_ptr failure;  // out of memory, say: the run ends there, as one thread's would
};

struct SharedWork {
    const std::vector<NamedEntry>& chosen;
    const HeldSignals* stopOnSignal;
    MemberGroups groups;
    std::unique_ptr<MemberOutcome[]> outcomes;
    std::atomic<std::size_t> nextGroup{0};
};

void extractGroups(SharedWork& work, BeneathExtractor& extractor, const std::stop_token& stop) {
    for (std::size_t g = work.nextGroup++; g < work.groups.size(); g = work.nextGroup++) {
        for (const std::size_t i : work.groups[g]) {
            if (stop.stop_requested()) return;
            const NamedEntry& e = work.chosen[i];
            MemberOutcome& outcome = work.outcomes[i];
            try {
                // Once a held signal is pending, the members left are only marked, so that every
                // outcome the answering thread waits for comes.
                const HeldSignals* held = work.stopOnSignal;
                if (held && held->pending()) {
                    outcome.extracted.interrupted = true;
                } else {
                    outcome.extracted = extractor.extractMember({e.path, e.entry.offset, e.entry.length});
                }
            } catch (...) {
                outcome.failure = std::current_exception();
            }
            outcome.ready.store(true, std::memory_order_release);
            outcome.ready.notify_one();
        }
    }
}

MemberGroups groupsFor(const std::vector<NamedEntry>& chosen, const ExtractorSetup& setup) {
    std::vector<std::string_view> names;
    names.reserve(chosen.size());
    for (const NamedEntry& e : chosen) names.emplace_back(e.path);
    return groupMembersByOutput(names, BeneathExtractor(setup.dataFd, setup.protectedFiles, setup.policy));
}

}  // namespace

void extractWithThreads(const std::vector<NamedEntry>& chosen, const ExtractorSetup& setup, unsigned jobs,
                        const MemberExtracted& extracted, const MemberExtracted& writtenAfterInterrupt) {
    SharedWork work{chosen, setup.policy.stopOnSignal, groupsFor(chosen, setup),
                    std::make_unique<MemberOutcome[]>(chosen.size())};
    const std::size_t threads = std::min<std::size_t>(jobs, work.groups.size());
    std::vector<std::unique_ptr<BeneathExtractor>> extractors;
    for (std::size_t t = 0; t < threads; ++t) {
        extractors.push_back(std::make_unique<BeneathExtractor>(setup.dataFd, setup.protectedFiles, setup.policy));
    }
    // Declared after what they use, so that leaving early, on a failure, stops and joins them first.
    std::vector<std::jthread> running;
    try {
        for (const auto& x : extractors) {
            running.emplace_back([&work, &x](const std::stop_token& stop) { extractGroups(work, *x, stop); });
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked for still do all the work; none at all leaves it to this one.
        if (running.empty() && !extractors.empty()) extractGroups(work, *extractors.front(), {});
    }
    bool interrupted = false;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        MemberOutcome& outcome = work.outcomes[i];
        outcome.ready.wait(false, std::memory_order_acquire);
        if (outcome.failure) std::rethrow_exception(outcome.failure);
        if (!interrupted) {
            interrupted = outcome.extracted.interrupted;
            extracted(chosen[i], outcome.extracted);
        } else if (outcome.extracted.written) {
            writtenAfterInterrupt(chosen[i], outcome.extracted);
        }
    }
}

}  // namespace unbcl::bcl
