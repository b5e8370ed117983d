// The signals that stop the show, for the programs that catch them (the box program
// and demo-play).
#pragma once

#include <csignal>

namespace box {

// Whether sig is ignored now. A signal ignored when the program started (nohup, a
// background job of a script) was ignored on purpose and stays ignored.
inline bool signal_ignored(int sig) {
    struct sigaction current {};
    return sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace box
