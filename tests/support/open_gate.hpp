// SPDX-License-Identifier: MIT
// Holds a process at the moment it opens one file, so a test can act at that exact point
// instead of racing a running program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <vector>

#include "unbcl/file_io.hpp"

namespace unbcl::test {

// Every open(2) of the file or directory waits inside the kernel until the gate is released
// (fanotify permission events; needs root). Opens by the test process itself are let through at
// once.
class OpenGate {
public:
    // Throws std::system_error when the system offers no such events.
    explicit OpenGate(const std::filesystem::path& file);
    ~OpenGate();
    OpenGate(const OpenGate&) = delete;
    OpenGate& operator=(const OpenGate&) = delete;

    // The pid of the next process to open the file, which is then held; nothing on timeout.
    std::optional<pid_t> waitForOpen(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Lets the held open go on, and holds the next one again.
    void letThrough();
    // Lets every held open go on, and every later one.
    void release();

private:
    void allow(int eventFd);

    UniqueFd group_;
    std::vector<int> held_;
};

}  // namespace unbcl::test
