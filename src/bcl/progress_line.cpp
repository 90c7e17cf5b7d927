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
    const std::string line = "\r\x1b[Kbcl: " + std::to_string(members_) + " of " + std::to_string(totalMembers_) +
                             " members, " + std::to_string(bytes_ >> 20) + " of " +
                             std::to_string(totalBytes_ >> 20) + " MiB";
    (void)writeAll(fd_, line);
    shown_ = true;
}

void ProgressLine::clear() {
    if (!shown_) return;
    (void)writeAll(fd_, "\r\x1b[K");
    shown_ = false;
}

}  // namespace unbcl::bcl
