// SPDX-License-Identifier: MIT
// Holding off the signals that ask a process to end, for work that must not stop halfway.
#pragma once

#include <signal.h>

namespace unbcl {

// Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT, the signals that end a process on a user's or a
// service manager's request, and lets them through again, still pending, when it goes: a
// signal that came meanwhile then ends the process as it would have. Those that the process
// ignores are left alone. Only SIGKILL and SIGSTOP cannot be held.
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // Whether one of the held signals has come, so that long work can stop at a safe point.
    bool pending() const;

private:
    sigset_t held_{};
    sigset_t previous_{};
};

}  // namespace unbcl
