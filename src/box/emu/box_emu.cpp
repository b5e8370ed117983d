// The box calls on the emulated box: each request goes to the device it names.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/mman.h>

#include "box/box.h"
#include "box/emu/emu.h"
#include "box/signals.h"

namespace emu {
namespace {

constexpr int kFbFd = 1000;
constexpr int kDspFd = 1001;

std::unique_ptr<Box> current;
box::StopHandler stop_handler = nullptr;

// Every call starts here: the observer looks at the box, and a pending stop request
// is delivered.
Box& enter() {
    Box& b = box();
    if (b.observer) b.observer->box_call();
    box::deliver_stop_once(b.pending_stop, stop_handler);  // as on the box
    return b;
}

}  // namespace

Box::Box(const Config& cfg)
    : config(cfg), clock(cfg.clock, cfg.poll_us), fb(*this), dsp(*this), console(*this) {}

void Box::trace(const std::string& json) {
    if (observer) observer->request(clock.now_us(), json);
}

Box& reset(const Config& config) {
    current = std::make_unique<Box>(config);
    return *current;
}

Box& box() {
    if (!current) reset();
    return *current;
}

}  // namespace emu

namespace box {

using emu::enter;

int open(const char* path, int flags) {
    emu::Box& b = enter();
    std::string p = path;
    if (p == "/dev/fb0") return b.fb.open() == 0 ? emu::kFbFd : -1;
    if (p == "/dev/dsp" && (flags & O_ACCMODE) != O_RDONLY) return b.dsp.open() == 0 ? emu::kDspFd : -1;
    errno = ENOENT;
    return -1;
}

int close(int fd) {
    emu::Box& b = enter();
    if (fd == emu::kDspFd && b.dsp.is_open()) return b.dsp.close();
    if (fd == emu::kFbFd && b.fb.is_open()) return b.fb.close();
    errno = EBADF;
    return -1;
}

int ioctl(int fd, unsigned long request, void* arg) {
    emu::Box& b = enter();
    if (fd == emu::kFbFd && b.fb.is_open()) return b.fb.ioctl(request, arg);
    if (fd == emu::kDspFd && b.dsp.is_open()) return b.dsp.ioctl(request, arg);
    errno = EBADF;
    return -1;
}

void* mmap(std::size_t length, int, int, int fd, off_t offset) {
    emu::Box& b = enter();
    if (fd != emu::kFbFd || !b.fb.is_open()) {
        errno = EBADF;
        return MAP_FAILED;
    }
    void* p = offset == 0 ? b.fb.map(length) : nullptr;
    return p != nullptr ? p : MAP_FAILED;
}

ssize_t write(int fd, const void* buf, std::size_t count) {
    emu::Box& b = enter();
    if (fd == emu::kDspFd && b.dsp.is_open()) return b.dsp.write(buf, count);
    errno = EBADF;
    return -1;
}

std::FILE* fopen(const char* path, const char* mode) {
    emu::Box& b = enter();
    if (std::strcmp(path, "/dev/tty0") == 0) return b.console.open();
    if (path[0] != '/') {
        errno = ENOENT;
        return nullptr;
    }
    return std::fopen((b.config.root + path).c_str(), mode);
}

int gettimeofday(struct timeval* tv) {
    emu::Box& b = enter();
    b.clock.poll();
    std::uint64_t now = b.clock.now_us();
    tv->tv_sec = time_t(now / 1000000u);
    tv->tv_usec = suseconds_t(now % 1000000u);
    return 0;
}

int usleep(unsigned int usec) {
    emu::Box& b = enter();
    if (b.observer) b.observer->sleep(b.clock.now_us(), usec);
    b.clock.sleep_us(usec);
    return 0;
}

std::time_t time(std::time_t* t) {
    emu::Box& b = enter();
    std::time_t now = std::time_t(b.clock.now_us() / 1000000u);
    if (t != nullptr) *t = now;
    return now;
}

void on_stop(StopHandler handler) { emu::stop_handler = handler; }

}  // namespace box
