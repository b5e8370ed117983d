#include "modeset.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>

#include "box/box.h"

namespace vmprobe {

std::string mode_set_steps() {
    std::string out;
    auto line = [&out](const char* text) { out.append(text).push_back('\n'); };
    std::FILE* tty = box::fopen("/dev/tty0", "wb");
    if (tty == nullptr) return "no /dev/tty0\n";
    auto write_text = [tty](const char* text) {
        std::fputs(text, tty);
        std::fflush(tty);
    };
    write_text("\033[2J\033[H");
    int fd = box::open("/dev/fb0", O_RDWR);
    fb_var_screeninfo found{};
    fb_fix_screeninfo fix{};
    constexpr std::size_t kPage = 640 * 480;
    if (fd < 0 || box::ioctl(fd, FBIOGET_VSCREENINFO, &found) != 0 || box::ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0 ||
        fix.line_length != 640 || fix.smem_len < 2 * kPage) {
        std::fclose(tty);
        return "no 640-byte lines on /dev/fb0 for two pages\n";
    }
    void* mapped = box::mmap(fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        std::fclose(tty);
        return "/dev/fb0 does not map\n";
    }
    auto* mem = static_cast<std::uint8_t*>(mapped);
    char text[160];
    auto shown = [&](const char* after, int result) {
        fb_var_screeninfo now{};
        box::ioctl(fd, FBIOGET_VSCREENINFO, &now);
        std::snprintf(text, sizeof text, "%s: %d; shown: pan %u, virtual height %u", after, result, now.yoffset,
                      now.yres_virtual);
        line(text);
    };

    constexpr std::uint8_t kPicture = 0xAB;
    std::memset(mem, kPicture, 2 * kPage);
    fb_var_screeninfo v = found;
    v.xoffset = 0;
    v.yoffset = 480;
    v.yres_virtual = 960;
    int result = box::ioctl(fd, FBIOPUT_VSCREENINFO, &v);
    shown("mode set 640 x 960 at pan 480", result);
    std::snprintf(text, sizeof text, "its answer: pan %u, virtual height %u", v.yoffset, v.yres_virtual);
    line(text);
    std::snprintf(text, sizeof text, "picture bytes left: page 0 %zu, page 1 %zu",
                  std::size_t(std::count(mem, mem + kPage, kPicture)),
                  std::size_t(std::count(mem + kPage, mem + 2 * kPage, kPicture)));
    line(text);

    v.yoffset = 480;
    shown("pan 480", box::ioctl(fd, FBIOPAN_DISPLAY, &v));
    write_text("text");
    shown("console text", 0);
    box::ioctl(fd, FBIOGET_VSCREENINFO, &v);
    shown("the same mode set again", box::ioctl(fd, FBIOPUT_VSCREENINFO, &v));

    fb_var_screeninfo back = found;
    box::ioctl(fd, FBIOPUT_VSCREENINFO, &back);
    back = found;
    box::ioctl(fd, FBIOPAN_DISPLAY, &back);
    write_text("\033[2J\033[H");
    box::close(fd);
    std::fclose(tty);
    return out;
}

}  // namespace vmprobe
