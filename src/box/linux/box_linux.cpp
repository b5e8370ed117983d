// The box calls straight onto the kernel: the back end of the box program.
//
// SIGINT, SIGTERM and SIGHUP only raise a flag; the stop handler runs in the show's own
// thread, where it may safely use stdio and free memory: at the start of the next box
// call, or as soon as the call the signal arrived in returns. A call that waits (the
// open of a busy sound device, a close that lets the sound play out, a full sound
// buffer) is interrupted by the signal rather than restarted, so a stop is never held
// up by a device and never taken for a device's refusal. A signal that comes after a
// call's last look for a stop but before the kernel starts to wait finds nothing to
// interrupt: so until the stop is delivered, a timer's signal interrupts whatever the
// show waits in every 10 ms. A signal ignored when the program started stays ignored
// (nohup).
#include "box/box.h"
#include "box/signals.h"

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

namespace box {
namespace {

volatile std::sig_atomic_t pending_signal = 0;
volatile std::sig_atomic_t stop_armed = 0;  // a handler waits for the stop
StopHandler stop_handler = nullptr;

// The timer that interrupts a wait begun just after a stop came, every 10 ms, or none.
void interrupt_waits(bool on) {
    struct itimerval every {};
    if (on) every.it_value.tv_usec = every.it_interval.tv_usec = 10000;
    setitimer(ITIMER_REAL, &every, nullptr);
}

void note_signal(int sig) {
    pending_signal = sig;
    // Not once the stop is being handled: the show's way out waits on purpose (the
    // sound played out), and a second request interrupts that once, itself.
    if (stop_armed) interrupt_waits(true);
}

void interrupted(int) {}

void deliver_stop() {
    if (pending_signal == 0 || stop_handler == nullptr) return;
    stop_armed = 0;
    interrupt_waits(false);
    deliver_stop_once(pending_signal, stop_handler);
}

// Runs one call of the kernel with a stop delivered before and after it.
template <typename Call>
auto attended(Call call) {
    deliver_stop();
    auto result = call();
    deliver_stop();
    return result;
}

}  // namespace

void on_stop(StopHandler handler) {
    stop_handler = handler;
    stop_armed = handler != nullptr;
    if (handler == nullptr) interrupt_waits(false);
    struct sigaction sa {};
    sa.sa_handler = interrupted;  // without SA_RESTART: the wait ends
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    catch_stop_signals(note_signal);
}

int open(const char* path, int flags) {
    return attended([&] { return ::open(path, flags); });
}

int close(int fd) {
    return attended([&] { return ::close(fd); });
}

int ioctl(int fd, unsigned long request, void* arg) {
    return attended([&] { return ::ioctl(fd, request, arg); });
}

void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
}

ssize_t write(int fd, const void* buf, std::size_t count) {
    return attended([&] { return ::write(fd, buf, count); });
}

// The show makes no files: it reads the box's files and writes to its console. A path
// that is not there fails to open, for writing too, where a plain fopen would make a
// file in its place (a console missing from the box's /dev would become one).
std::FILE* fopen(const char* path, const char* mode) {
    int access = std::strchr(mode, '+') != nullptr ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    int fd = ::open(path, access);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, mode);
    if (file == nullptr) ::close(fd);
    return file;
}

int gettimeofday(struct timeval* tv) {
    deliver_stop();
    return ::gettimeofday(tv, nullptr);
}

int usleep(unsigned int usec) {
    return attended([&] { return ::usleep(usec); });
}

std::time_t time(std::time_t* t) { return std::time(t); }

}  // namespace box
