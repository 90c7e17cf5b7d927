// SPDX-License-Identifier: MIT
#include "open_gate.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace unbcl::test {

OpenGate::OpenGate(const std::filesystem::path& file)
    : group_(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC)) {
    if (!group_) throw std::system_error(errno, std::generic_category(), "fanotify_init");
    // FAN_ONDIR: the file may be a directory, whose opens are otherwise not reported.
    if (::fanotify_mark(group_.get(), FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD, file.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "fanotify_mark " + file.string());
    }
}

OpenGate::~OpenGate() { release(); }

std::optional<pid_t> OpenGate::waitForOpen(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (group_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd ready{group_.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        alignas(fanotify_event_metadata) char buffer[4096];
        ssize_t n = ::read(group_.get(), buffer, sizeof buffer);
        if (n <= 0) continue;
        std::optional<pid_t> opener;
        // Every event read must be answered; the first open by another process is held.
        for (auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer); FAN_EVENT_OK(event, n);
             event = FAN_EVENT_NEXT(event, n)) {
            if (event->fd < 0) continue;
            if (opener || event->pid == ::getpid()) {
                allow(event->fd);
            } else {
                opener = event->pid;
                held_.push_back(event->fd);
            }
        }
        if (opener) return opener;
    }
    return std::nullopt;
}

void OpenGate::letThrough() {
    for (const int fd : held_) allow(fd);
    held_.clear();
}

void OpenGate::release() {
    for (const int fd : held_) allow(fd);
    held_.clear();
    // Closing the group answers whatever is still queued and stops holding later opens.
    group_.reset();
}

void OpenGate::allow(int eventFd) {
    const fanotify_response response{eventFd, FAN_ALLOW};
    // The opener may have been killed meanwhile; then there is nobody left to answer.
    [[maybe_unused]] const ssize_t written = ::write(group_.get(), &response, sizeof response);
    ::close(eventFd);
}

}  // namespace unbcl::test
