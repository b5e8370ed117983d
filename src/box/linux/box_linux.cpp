// The box calls straight onto the kernel: the back end of the box program.
//
// SIGINT, SIGTERM and SIGHUP only raise a flag; the stop handler runs at the next box
// call, in the show's own thread, where it may safely use stdio and free memory. A
// signal ignored when the program started stays ignored (nohup).
#include "box/box.h"
#include "box/signals.h"

#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace box {
namespace {

volatile std::sig_atomic_t pending_signal = 0;
StopHandler stop_handler = nullptr;

void note_signal(int sig) { pending_signal = sig; }

void deliver_stop() {
    if (pending_signal != 0 && stop_handler != nullptr) {
        int sig = pending_signal;
        pending_signal = 0;
        stop_handler(sig);
    }
}

}  // namespace

void on_stop(StopHandler handler) {
    stop_handler = handler;
    struct sigaction sa {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (!signal_ignored(sig)) sigaction(sig, &sa, nullptr);
}

int open(const char* path, int flags) {
    deliver_stop();
    return ::open(path, flags);
}

int close(int fd) { return ::close(fd); }

int ioctl(int fd, unsigned long request, void* arg) {
    deliver_stop();
    return ::ioctl(fd, request, arg);
}

void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
}

ssize_t write(int fd, const void* buf, std::size_t count) {
    deliver_stop();
    return ::write(fd, buf, count);
}

std::FILE* fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

int gettimeofday(struct timeval* tv) {
    deliver_stop();
    return ::gettimeofday(tv, nullptr);
}

int usleep(unsigned int usec) {
    deliver_stop();
    return ::usleep(usec);
}

std::time_t time(std::time_t* t) { return std::time(t); }

}  // namespace box
