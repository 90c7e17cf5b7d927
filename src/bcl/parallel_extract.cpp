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

// One member's outcome, handed from the thread that extracted it to the one that reports it.
struct MemberOutcome {
    std::atomic<bool> ready{false};
    ExtractedMember extracted;
    std::vector<HeldDiagnostic> diagnostics;
    std::exception_ptr failure;  // out of memory, say: the run ends there, as one thread's would
};

struct SharedWork {
    const std::vector<NamedEntry>& chosen;
    const OutputPolicy& policy;
    MemberGroups groups;
    std::unique_ptr<MemberOutcome[]> outcomes;
    std::atomic<std::size_t> nextGroup{0};
};

// A thread's own extractor, whose diagnostics wait for their turn.
struct Worker {
    explicit Worker(const ExtractorSetup& setup)
        : extractor(setup.dataFd, setup.protectedFiles, held, setup.policy) {}
    Diagnostics held = Diagnostics::holding();
    MemberExtractor extractor;
};

void extractGroups(SharedWork& work, Worker& worker, const std::stop_token& stop) {
    for (std::size_t g = work.nextGroup++; g < work.groups.size(); g = work.nextGroup++) {
        for (const std::size_t i : work.groups[g]) {
            if (stop.stop_requested()) return;
            const NamedEntry& e = work.chosen[i];
            MemberOutcome& outcome = work.outcomes[i];
            try {
                // Once a held signal is pending, the members left are only marked, so that every
                // outcome the reporting thread waits for comes.
                const HeldSignals* held = work.policy.stopOnSignal;
                outcome.extracted = held && held->pending()
                                        ? ExtractedMember{.interrupted = true}
                                        : worker.extractor.extractMember({e.path, e.entry.offset, e.entry.length});
            } catch (...) {
                outcome.failure = std::current_exception();
            }
            outcome.diagnostics = worker.held.takeHeld();
            outcome.ready.store(true, std::memory_order_release);
            outcome.ready.notify_one();
        }
    }
}

}  // namespace

void extractWithThreads(const std::vector<NamedEntry>& chosen, const ExtractorSetup& setup, unsigned jobs,
                        Diagnostics& diagnostics, const MemberExtracted& extracted) {
    std::vector<std::string_view> names;
    names.reserve(chosen.size());
    for (const NamedEntry& e : chosen) names.emplace_back(e.path);
    SharedWork work{chosen, setup.policy, groupMembersByOutput(names, setup.policy),
                    std::make_unique<MemberOutcome[]>(chosen.size())};
    const std::size_t threads = std::min<std::size_t>(jobs, work.groups.size());
    std::vector<std::unique_ptr<Worker>> workers;
    for (std::size_t t = 0; t < threads; ++t) workers.push_back(std::make_unique<Worker>(setup));
    // Declared after what they use, so that leaving early, on a failure, stops and joins them first.
    std::vector<std::jthread> running;
    try {
        for (const auto& w : workers) {
            running.emplace_back([&work, &w](const std::stop_token& stop) { extractGroups(work, *w, stop); });
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked for still do all the work; none at all leaves it to this one.
        if (running.empty() && !workers.empty()) extractGroups(work, *workers.front(), {});
    }
    bool interrupted = false;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        MemberOutcome& outcome = work.outcomes[i];
        outcome.ready.wait(false, std::memory_order_acquire);
        if (outcome.failure) std::rethrow_exception(outcome.failure);
        // After an interrupt, later members may have been written or not, as the threads went:
        // none of them is reported.
        if (outcome.extracted.interrupted) interrupted = true;
        if (interrupted) continue;
        diagnostics.writeHeld(std::exchange(outcome.diagnostics, {}));
        extracted(chosen[i], outcome.extracted);
    }
}

}  // namespace unbcl::bcl
