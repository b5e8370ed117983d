// The box program's stop signals, on its own device layer (only the signal calls are
// made here, never a device of this machine): a signal stops the show at the next box
// call, unless it was ignored when the program started (nohup).
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

#include "box/box.h"
#include "show/exit_status.h"

namespace {

void stop(int signal) { std::_Exit(exit_status_of_signal(signal)); }

// Raises SIGHUP and then SIGTERM, each followed by a box call, where a stop is taken.
void hang_up_then_terminate() {
    box::on_stop(stop);
    struct timeval tv;
    std::raise(SIGHUP);
    box::gettimeofday(&tv);
    std::raise(SIGTERM);
    box::gettimeofday(&tv);
    std::_Exit(0);
}

TEST(LinuxStopDeathTest, AHangUpStopsTheShowUnlessIgnoredAtStart) {
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_DFL);
            hang_up_then_terminate();
        },
        ::testing::ExitedWithCode(exit_status_of_signal(SIGHUP)), "");
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            hang_up_then_terminate();
        },
        ::testing::ExitedWithCode(exit_status_of_signal(SIGTERM)), "");
}

}  // namespace
