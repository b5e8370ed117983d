// A counting shim for the box program in the VM (LD_PRELOAD): it watches the calls the
// program makes of /dev/fb0 and /dev/dsp and, at exit, writes one line of figures to
// $SHIM_OUT:
//
//   fire=F zoomer=Z threedee=T titles=E    pans a second in each effect's steady part
//   min_odelay=B                           the smallest SNDCTL_DSP_GETODELAY answer
//   max_gap_us=G at_frame=N                the longest time between two sound-device
//                                          calls, and the frame counter then
//   dry=D                                  output-delay answers of 0 (the device ran dry)
//   frames=N                               bursts written
//
// Only what happens between the first and the last write to /dev/dsp counts (before
// the first the device is empty by nature, after the last it drains). The frame
// counter is the bursts written plus $SHIM_START (the frame a later start section
// skips to: 1226 for section 2).
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/soundcard.h>
#include <unistd.h>

namespace {

long long now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// Each effect's steady part in frames of the main soundtrack: clear of the fades and
// of the set-up at its start.
struct Window {
    const char* name;
    std::uint32_t from, to;
    long pans = 0;
    long long first_us = 0, last_us = 0;
};
Window windows[] = {{"fire", 300, 1200}, {"zoomer", 1500, 2100}, {"threedee", 2300, 5100}, {"titles", 5200, 6200}};

int fb_fd = -1, dsp_fd = -1;
std::uint32_t start_frame = 0;
std::uint64_t bytes_written = 0;
long long last_call_us = 0;
// Figures seen since the last write: they count once another write follows.
long long pending_gap_us = 0;
int pending_min_odelay = -1, pending_dry = 0;
long long max_gap_us = 0;
std::uint32_t max_gap_frame = 0;
int min_odelay = -1, dry = 0;

std::uint32_t frame() { return start_frame + std::uint32_t(bytes_written / 6144); }

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void note_open(const char* path, int fd) {
    if (fd < 0) return;
    if (std::strcmp(path, "/dev/fb0") == 0) fb_fd = fd;
    if (std::strcmp(path, "/dev/dsp") == 0) dsp_fd = fd;
}

void note_dsp_call() {
    long long t = now_us();
    if (bytes_written > 0 && t - last_call_us > pending_gap_us) pending_gap_us = t - last_call_us;
    last_call_us = t;
}

void note_write(std::size_t count) {
    if (bytes_written > 0) {
        if (pending_gap_us > max_gap_us) {
            max_gap_us = pending_gap_us;
            max_gap_frame = frame();
        }
        if (pending_min_odelay >= 0 && (min_odelay < 0 || pending_min_odelay < min_odelay)) min_odelay = pending_min_odelay;
        dry += pending_dry;
    }
    pending_gap_us = 0;
    pending_min_odelay = -1;
    pending_dry = 0;
    bytes_written += count;
}

void note_pan() {
    std::uint32_t f = frame();
    long long t = now_us();
    for (Window& w : windows) {
        if (f < w.from || f >= w.to) continue;
        if (w.pans++ == 0) w.first_us = t;
        w.last_us = t;
    }
}

struct Report {
    Report() {
        const char* start = std::getenv("SHIM_START");
        start_frame = start != nullptr ? std::uint32_t(std::atoi(start)) : 0;
    }
    ~Report() {
        const char* path = std::getenv("SHIM_OUT");
        std::FILE* out = path != nullptr ? std::fopen(path, "w") : nullptr;
        if (out == nullptr) return;
        for (const Window& w : windows) {
            double seconds = double(w.last_us - w.first_us) / 1e6;
            std::fprintf(out, "%s=%.1f ", w.name, w.pans > 1 ? double(w.pans - 1) / seconds : 0.0);
        }
        std::fprintf(out, "min_odelay=%d max_gap_us=%lld at_frame=%u dry=%d frames=%u\n", min_odelay, max_gap_us,
                     max_gap_frame, dry, frame() - start_frame);
        std::fclose(out);
    }
} report;

}  // namespace

// The box program calls open, ioctl, write and close (nm -D demo).
extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_t(va_arg(ap, int));
    va_end(ap);
    int fd = next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
    note_open(path, fd);
    return fd;
}

int close(int fd) {
    if (fd == dsp_fd) dsp_fd = -1;
    if (fd == fb_fd) fb_fd = -1;
    return next<int (*)(int)>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int result = next<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
    if (fd == dsp_fd && fd >= 0) {
        note_dsp_call();
        if (request == SNDCTL_DSP_GETODELAY && result == 0 && bytes_written > 0) {
            int delay = *static_cast<int*>(arg);
            if (pending_min_odelay < 0 || delay < pending_min_odelay) pending_min_odelay = delay;
            if (delay == 0) pending_dry++;
        }
    }
    if (fd == fb_fd && fd >= 0 && request == FBIOPAN_DISPLAY && result == 0) note_pan();
    return result;
}

ssize_t write(int fd, const void* buf, size_t count) {
    ssize_t result = next<ssize_t (*)(int, const void*, size_t)>("write")(fd, buf, count);
    if (fd == dsp_fd && fd >= 0) {
        note_dsp_call();
        if (result > 0) note_write(std::size_t(result));
    }
    return result;
}

}  // extern "C"
