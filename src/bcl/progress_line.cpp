// SPDX-License-Identifier: MIT
#include "progress_line.hpp"

#include <string>

#include "unbcl/file_io.hpp"

namespace unbcl::bcl {

ProgressLine::ProgressLine(int fd, bool enabled, std::chrono::milliseconds after, std::size_t members,
                           std::int64_t bytes)
    : fd_(fd),
      enabled_(enabled),
      after_(after),
      totalMembers_(members),
      totalBytes_(bytes),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::advance(std::int64_t bytes) {
    ++members_;
    bytes_ += bytes;
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < after_ || now - lastShown_ < std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    (void)writeAll(fd_, "\r\x1b[Kbcl: " + describe(now - start_));
    shown_ = true;
}

std::string ProgressLine::describe(std::chrono::steady_clock::duration elapsed) const {
    std::string line = std::to_string(members_) + " of " + std::to_string(totalMembers_) + " members, " +
                       std::to_string(bytes_ >> 20) + " of " + std::to_string(totalBytes_ >> 20) + " MiB";
    if (totalBytes_ > 0) line += " (" + std::to_string(bytes_ * 100 / totalBytes_) + "%)";
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds <= 0 || bytes_ <= 0) return line;
    const double rate = static_cast<double>(bytes_) / seconds;
    line += ", " + std::to_string(static_cast<std::int64_t>(rate) >> 20) + " MiB/s";
    const auto left = static_cast<std::int64_t>(static_cast<double>(totalBytes_ - bytes_) / rate + 0.5);
    line += ", " + std::to_string(left / 60) + ":" + (left % 60 < 10 ? "0" : "") + std::to_string(left % 60) + " left";
    return line;
}

void ProgressLine::clear() {
    if (!shown_) return;
    (void)writeAll(fd_, "\r\x1b[K");
    shown_ = false;
}

}  // namespace unbcl::bcl
