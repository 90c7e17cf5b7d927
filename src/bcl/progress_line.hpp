// SPDX-License-Identifier: MIT
// A one-line display of members and bytes done on a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace unbcl::bcl {

// Shown once the work has taken a while (at once when forced on), redrawn at most five times a second, and cleared at
// the end or before a diagnostic is written.
class ProgressLine {
public:
    ProgressLine(int fd, bool enabled, std::chrono::milliseconds after, std::size_t members, std::int64_t bytes);
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void advance(std::int64_t bytes);
    void clear();

private:
    // "3 of 10 members, 30 of 100 MiB (30%), 15 MiB/s, 0:05 left"
    std::string describe(std::chrono::steady_clock::duration elapsed) const;

    int fd_;
    bool enabled_;
    std::chrono::milliseconds after_;
    std::size_t totalMembers_;
    std::int64_t totalBytes_;
    std::size_t members_ = 0;
    std::int64_t bytes_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastShown_{};
    bool shown_ = false;
};

}  // namespace unbcl::bcl
