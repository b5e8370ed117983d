// Stop requests: the signals that stop the show, caught by the programs that run it (the
// box program and demo-play), and their delivery to the show's handler, which both back
// ends make the same way.
#pragma once

#include <csignal>
#include <initializer_list>

#include "box/box.h"

namespace box {

// Whether sig is ignored now. A signal ignored when the program started (nohup, a
// background job of a script) was ignored on purpose and stays ignored.
inline bool signal_ignored(int sig) {
    struct sigaction current {};
    return sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// Catches SIGINT, SIGTERM and SIGHUP with note, unless ignored. A call that waits is
// interrupted by them rather than restarted.
inline void catch_stop_signals(void (*note)(int)) {
    struct sigaction sa {};
    sa.sa_handler = note;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (!signal_ignored(sig)) sigaction(sig, &sa, nullptr);
}

// Delivers a pending stop (a signal's number) to the handler, once: the handler is
// forgotten before it runs, so its own box calls, and a second request, find none.
template <typename Pending>
void deliver_stop_once(Pending& pending, StopHandler& handler) {
    if (pending == 0 || handler == nullptr) return;
    int sig = pending;
    pending = 0;
    StopHandler stop = handler;
    handler = nullptr;
    stop(sig);
}

}  // namespace box
