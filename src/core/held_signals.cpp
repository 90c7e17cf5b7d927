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
    for (const int signal : kEndingSignals) ::sigaddset(&held_, signal);
    ::pthread_sigmask(SIG_BLOCK, &held_, &previous_);
}

HeldSignals::~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool HeldSignals::pending() const {
    sigset_t waiting;
    if (::sigpending(&waiting) != 0) return false;
    for (const int signal : kEndingSignals) {
        if (::sigismember(&waiting, signal) == 1) return true;
    }
    return false;
}

}  // namespace unbcl
