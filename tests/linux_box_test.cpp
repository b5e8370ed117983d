// The box program's own device layer, where it is safe on this machine (never a device
// of this machine): a signal stops the show at the next box call, unless it was ignored
// when the program started (nohup); a file or console that is not there is not made.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

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

// The show opens its console for writing and its files for reading. A console that is
// not there is gone without: opening it must not leave a plain file in its place (in a
// box's /dev, where the next program to look for the console would find that file).
TEST(LinuxBoxFiles, OpensOnlyWhatIsThere) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("demo-linux-box-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string there = (dir / "there").string(), missing = (dir / "tty0").string();
    std::ofstream(there) << "abc";

    errno = 0;
    EXPECT_EQ(box::fopen(missing.c_str(), "wb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(std::filesystem::exists(missing));

    std::FILE* in = box::fopen(there.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, in), 3u);
    EXPECT_STREQ(text, "abc");
    std::fclose(in);
    std::FILE* out = box::fopen(there.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::fwrite("xy", 1, 2, out), 2u);
    EXPECT_EQ(std::fclose(out), 0);
    std::filesystem::remove_all(dir);
}

}  // namespace
