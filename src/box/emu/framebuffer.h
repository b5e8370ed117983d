// The emulated framebuffer device "/dev/fb0": an 8-bit palette display with a tall
// virtual screen, panned by FBIOPAN_DISPLAY, coloured by a 256-entry colour map. It
// starts as the console left it: a 640 x 480 screen with the console's colours. The
// console shows text on it, so after each mode set the console shows the top of the
// virtual screen again, with its colours and its text (see put_var).
#pragma once

#include <array>
#include <cstdint>
#include <linux/fb.h>

#include "box/emu/zero_pages.h"

namespace emu {

class Box;

class Framebuffer {
public:
    static constexpr unsigned kWidth = 640;
    static constexpr unsigned kHeight = 480;
    // The tallest virtual screen the driver takes (vfb's MAX_YRES).
    static constexpr unsigned kMostVirtualLines = 8192;

    explicit Framebuffer(Box& box);

    int open();
    int close();
    // Whether a descriptor of the device is open (every open hands out the same one).
    bool is_open() const { return opens_ > 0; }
    int ioctl(unsigned long request, void* arg);
    void* map(std::size_t length);

    // What the viewer sees: the visible lines from the pan offset, and the colour map.
    const std::uint8_t* shown() const { return memory.data() + std::size_t(var.yoffset) * fix.line_length; }
    // The colour map as 8-bit RGB triplets (each 16-bit channel's high byte).
    std::array<std::uint8_t, 768> palette8() const;

    fb_fix_screeninfo fix{};
    fb_var_screeninfo var{};
    ZeroPages memory;
    std::array<std::uint16_t, 256> red{}, green{}, blue{};
    unsigned pans = 0;
    unsigned cmap_puts = 0;

private:
    int put_var(fb_var_screeninfo* asked);
    int put_cmap(const fb_cmap* map);
    int get_cmap(fb_cmap* map);
    int pan(const fb_var_screeninfo* asked);

    Box& box_;
    unsigned opens_ = 0;  // opens not yet closed
    std::uint64_t last_pan_us_ = 0;
};

}  // namespace emu
