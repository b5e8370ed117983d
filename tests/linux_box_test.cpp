// The box program's own device layer, where it is safe on this machine (never a device
// of this machine): a signal stops the show at the next box call, unless it was ignored
// when the program started (nohup), and a wait that begins just after one does not hold
// it up; a file or console that is not there is not made.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "box/box.h"
#include "show/exit_status.h"

// This program's open: the C library's, but when asked to, the signal comes inside it,
// after the box's last look for a stop and before the kernel is called, as it can on the
// box.
int raise_in_open = 0;
extern "C" int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        std::va_list args;
        va_start(args, flags);
        mode = mode_t(va_arg(args, unsigned));
        va_end(args);
    }
    if (raise_in_open != 0) std::raise(std::exchange(raise_in_open, 0));
    return int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

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

// A stop that comes just before a wait begins ends the wait all the same: here the open
// of a FIFO that nothing will ever open for writing, as a sound device another program
// holds would wait.
TEST(LinuxStopDeathTest, AStopJustBeforeAWaitEndsIt) {
    const std::string fifo = (std::filesystem::temp_directory_path() / ("demo-linux-box-fifo-" + std::to_string(getpid()))).string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            // A wait that is not ended ends the test in failure, not in a hang.
            std::thread([] {
                sleep(20);
                std::_Exit(99);
            }).detach();
            box::on_stop(stop);
            raise_in_open = SIGTERM;
            box::open(fifo.c_str(), O_RDONLY);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(exit_status_of_signal(SIGTERM)), "");
    std::filesystem::remove(fifo);
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
