// SPDX-License-Identifier: MIT
#include "unbcl/held_signals.hpp"

#include <pthread.h>

#include <array>

namespace unbcl {

namespace {

constexpr std::array kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

HeldSignals::HeldSignals() {
    ::sigemptyset(&held_);
    for (const int signal : kEndingSignals) {
        // A signal ignored from the start (nohup, a background job of a script) must stay
        // ignored: held, it would be kept pending and stop the work for nothing.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaddset(&held_, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &held_, &previous_);
}

HeldSignals::~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool HeldSignals::pending() const {
    sigset_t waiting;
    if (::sigpending(&waiting) != 0) return false;
    for (const int signal : kEndingSignals) {
        if (::sigismember(&held_, signal) == 1 && ::sigismember(&waiting, signal) == 1) return true;
    }
    return false;
}

}  // namespace unbcl
