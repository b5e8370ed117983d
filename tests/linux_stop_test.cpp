// The box program's stop signals, on its own device layer (only the signal calls are
// made here, never a device of this machine): a signal stops the show at the next box
// call, and one ignored when the program started stays ignored.
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

#include "box/box.h"

namespace {

void stop(int signal) { std::_Exit(128 + signal); }

TEST(LinuxStopDeathTest, AHangUpIgnoredAtStartStaysIgnored) {
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            box::on_stop(stop);
            struct timeval tv;
            std::raise(SIGHUP);
            box::gettimeofday(&tv);  // a stop waiting here would end the program with 129
            std::raise(SIGTERM);
            box::gettimeofday(&tv);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(128 + SIGTERM), "");
}

TEST(LinuxStopDeathTest, AHangUpStopsAShowStartedWithoutNohup) {
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_DFL);
            box::on_stop(stop);
            struct timeval tv;
            std::raise(SIGHUP);
            box::gettimeofday(&tv);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(128 + SIGHUP), "");
}

}  // namespace
