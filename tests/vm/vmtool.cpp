// Helpers that run inside the test VM, next to the box program:
//
//   vmtool fbstate FILE        the framebuffer's mode, virtual size, pan and colour map
//   vmtool words FILE          the fire's word set-up on the real console; the masks
//   vmtool capture DATA LOG    records /dev/adsp until SIGTERM or SIGINT
//   vmtool stop PID            sends SIGTERM to PID and prints when (monotonic µs)
//   vmtool modeset FILE [graphics]  what a mode set does to the pan (modeset.h), with
//                              the console in text mode or switched to graphics
//   vmtool watch FILE SECONDS  the console's first cell in framebuffer memory, watched
//
// The formats are read back by vm_check on the host (vmresults.h).
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/soundcard.h>
#include <unistd.h>

#include "modeset.h"
#include "show/fbstuff.h"
#include "show/fire.h"

// The driver's streams, which the fire and the picture loader name; the driver is not
// linked here. The fire prints its words on the console.
std::FILE* fp = nullptr;
std::FILE* ftty = nullptr;

namespace {

long long monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

int fail(const char* what) {
    std::fprintf(stderr, "vmtool: %s: %s\n", what, std::strerror(errno));
    return 1;
}

int fbstate(const char* path) {
    int fd = open("/dev/fb0", O_RDONLY);
    if (fd < 0) return fail("/dev/fb0");
    fb_var_screeninfo v{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0) return fail("FBIOGET_VSCREENINFO");
    std::uint16_t r[256] = {}, g[256] = {}, b[256] = {};
    fb_cmap map = {0, 256, r, g, b, nullptr};
    if (ioctl(fd, FBIOGETCMAP, &map) != 0) return fail("FBIOGETCMAP");
    close(fd);
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return fail(path);
    std::fprintf(out, "mode %ux%u bpp %u grayscale %u pixclock %u margins %u %u %u %u sync %u %u %u vmode %u\n",
                 v.xres, v.yres, v.bits_per_pixel, v.grayscale, v.pixclock, v.left_margin, v.right_margin,
                 v.upper_margin, v.lower_margin, v.hsync_len, v.vsync_len, v.sync, v.vmode);
    std::fprintf(out, "virtual %ux%u\npan %u %u\n", v.xres_virtual, v.yres_virtual, v.xoffset, v.yoffset);
    for (int i = 0; i < 256; i++) std::fprintf(out, "cmap %d %04x %04x %04x\n", i, r[i], g[i], b[i]);
    return std::fclose(out) == 0 ? 0 : fail(path);
}

// The word count, the eight lengths and the eight masks of 120 x 159 cells (empty
// where there is no word).
int words(const char* path) {
    ftty = std::fopen("/dev/tty0", "wb");
    if (ftty == nullptr) return fail("/dev/tty0");
    if (init_framebuf() != 0) return fail("init_framebuf");
    fire_init();
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return fail(path);
    static const std::uint8_t empty[120 * 159] = {};
    std::uint8_t count = std::uint8_t(fire_state::wordcnt);
    std::fwrite(&count, 1, 1, out);
    std::fwrite(fire_state::lens, 1, 8, out);
    for (int w = 0; w < 8; w++)
        std::fwrite(w < fire_state::wordcnt ? fire_state::firetexts[w] : empty, 1, sizeof empty, out);
    return std::fclose(out) == 0 ? 0 : fail(path);
}

volatile std::sig_atomic_t stopping = 0;
void note_stop(int) { stopping = 1; }

// The loopback's capture side, opened before the box program opens /dev/dsp: 16-bit
// stereo at 48 kHz, the fragment size left to the kernel. The log has the granted
// fragment size, then one line per read: when it returned and the bytes so far.
int capture(const char* data_path, const char* log_path) {
    struct sigaction sa {};
    sa.sa_handler = note_stop;  // no SA_RESTART: a signal ends the blocking read
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    int fd = open("/dev/adsp", O_RDONLY);
    if (fd < 0) return fail("/dev/adsp");
    int format = AFMT_S16_LE, channels = 2, rate = 48000, block = 0;
    if (ioctl(fd, SNDCTL_DSP_SETFMT, &format) != 0 || ioctl(fd, SNDCTL_DSP_CHANNELS, &channels) != 0 ||
        ioctl(fd, SNDCTL_DSP_SPEED, &rate) != 0 || ioctl(fd, SNDCTL_DSP_GETBLKSIZE, &block) != 0)
        return fail("/dev/adsp set-up");
    std::FILE* data = std::fopen(data_path, "wb");
    std::FILE* log = std::fopen(log_path, "w");
    if (data == nullptr || log == nullptr) return fail("capture output");
    std::fprintf(log, "fragment %d\n", block);
    // One fragment a read: a read returns as soon as the kernel hands a fragment over.
    static std::uint8_t buf[1 << 16];
    std::size_t chunk = block > 0 && std::size_t(block) < sizeof buf ? std::size_t(block) : sizeof buf;
    long long total = 0;
    while (!stopping) {
        ssize_t n = read(fd, buf, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("/dev/adsp read");
        }
        std::fwrite(buf, 1, std::size_t(n), data);
        total += n;
        std::fprintf(log, "%lld %lld\n", monotonic_us(), total);
    }
    close(fd);
    return std::fclose(data) == 0 && std::fclose(log) == 0 ? 0 : fail("capture output");
}

// Runs a program in this process; where the kernel refuses it, prints the error's name
// and exits 126, as a shell does for a command it found but cannot run.
int exec(char** argv) {
    execv(argv[0], argv);
    std::printf("%s\n", strerrorname_np(errno));
    return 126;
}

int stop(const char* pid) {
    long long t = monotonic_us();
    if (kill(pid_t(std::atoi(pid)), SIGTERM) != 0) return fail("kill");
    std::printf("%lld\n", t);
    return 0;
}

// modeset.h's steps; with the console switched to graphics (KDSETMODE) around them
// where asked.
int modeset(const char* path, bool graphics) {
    int tty = open("/dev/tty0", O_RDWR);
    if (tty < 0) return fail("/dev/tty0");
    if (graphics && ioctl(tty, KDSETMODE, KD_GRAPHICS) != 0) return fail("KDSETMODE");
    std::string steps = vmprobe::mode_set_steps();
    if (graphics && ioctl(tty, KDSETMODE, KD_TEXT) != 0) return fail("KDSETMODE");
    close(tty);
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return fail(path);
    std::fputs(steps.c_str(), out);
    return std::fclose(out) == 0 ? 0 : fail(path);
}

// The 8 x 8 pixels at the start of framebuffer memory (the console's first cell) and
// the pan, every 2 ms for the seconds given: a line at the start and at each change,
// with the milliseconds since the start, the pan and how many of the 64 pixels are 0,
// 7 (the console's ink) and anything else.
int watch(const char* path, const char* seconds) {
    int fd = open("/dev/fb0", O_RDONLY);
    if (fd < 0) return fail("/dev/fb0");
    void* mapped = mmap(nullptr, 8 * 640, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return fail("mmap");
    const auto* cell = static_cast<const volatile std::uint8_t*>(mapped);
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return fail(path);
    long long start = monotonic_us(), end = start + std::atoll(seconds) * 1000000LL;
    char last[64] = "", now[64];
    for (long long t = start; t < end; t = monotonic_us()) {
        fb_var_screeninfo v{};
        ioctl(fd, FBIOGET_VSCREENINFO, &v);
        int zeros = 0, sevens = 0;
        for (int y = 0; y < 8; y++)
            for (int x = 0; x < 8; x++) {
                std::uint8_t p = cell[y * 640 + x];
                zeros += p == 0;
                sevens += p == 7;
            }
        std::snprintf(now, sizeof now, "pan %u zeros %d sevens %d other %d", v.yoffset, zeros, sevens,
                      64 - zeros - sevens);
        if (std::strcmp(now, last) != 0) {
            std::fprintf(out, "%lld %s\n", (t - start) / 1000, now);
            std::strcpy(last, now);
        }
        usleep(2000);
    }
    return std::fclose(out) == 0 ? 0 : fail(path);
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view cmd = argc > 1 ? argv[1] : "";
    if (cmd == "fbstate" && argc == 3) return fbstate(argv[2]);
    if (cmd == "words" && argc == 3) return words(argv[2]);
    if (cmd == "capture" && argc == 4) return capture(argv[2], argv[3]);
    if (cmd == "stop" && argc == 3) return stop(argv[2]);
    if (cmd == "exec" && argc >= 3) return exec(argv + 2);
    if (cmd == "modeset" && (argc == 3 || (argc == 4 && std::string_view(argv[3]) == "graphics")))
        return modeset(argv[2], argc == 4);
    if (cmd == "watch" && argc == 4) return watch(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: vmtool fbstate FILE | words FILE | capture DATA LOG | stop PID | exec PROGRAM ARGS... | modeset "
                 "FILE [graphics] | watch FILE SECONDS\n");
    return 64;
}
