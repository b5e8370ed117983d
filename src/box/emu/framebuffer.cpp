#include "box/emu/framebuffer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "box/emu/emu.h"

namespace emu {

namespace {

// The console's own colours in entries 0..15, as 16-bit channels: the PC text palette,
// whose entry bits are blue (1), green (2), red (4) and bright (8). The console puts
// them whenever the mode changes.
void put_console_colours(std::array<std::uint16_t, 256>& red, std::array<std::uint16_t, 256>& green,
                         std::array<std::uint16_t, 256>& blue) {
    for (unsigned i = 0; i < 16; i++) {
        unsigned bright = (i & 8) != 0 ? 0x55 : 0;
        red[i] = std::uint16_t(((i & 4) != 0 ? 0xAA + bright : bright) * 0x101);
        // Colour 6 is brown, not dark yellow.
        green[i] = std::uint16_t((i == 6 ? 0x55 : (i & 2) != 0 ? 0xAA + bright : bright) * 0x101);
        blue[i] = std::uint16_t(((i & 1) != 0 ? 0xAA + bright : bright) * 0x101);
    }
}

}  // namespace

Framebuffer::Framebuffer(Box& box) : memory(box.config.fb_memory), box_(box) {
    std::strncpy(fix.id, "emulated box", sizeof fix.id - 1);
    fix.smem_len = box_.config.fb_memory;
    fix.type = FB_TYPE_PACKED_PIXELS;
    fix.visual = FB_VISUAL_PSEUDOCOLOR;
    fix.ypanstep = 1;
    fix.line_length = kWidth;

    // The console's boot mode, before the show asks for its own.
    var.xres = var.xres_virtual = kWidth;
    var.yres = var.yres_virtual = kHeight;
    var.bits_per_pixel = 8;
    var.red.length = var.green.length = var.blue.length = 8;
    put_console_colours(red, green, blue);
}

int Framebuffer::open() {
    if (box_.config.has(Fault::FbMissing)) {
        errno = ENOENT;
        return -1;
    }
    opens_++;
    return 0;
}

int Framebuffer::close() {
    if (opens_ == 0) {
        errno = EBADF;
        return -1;
    }
    opens_--;
    box_.trace(R"({"req":"close","dev":"/dev/fb0"})");
    return 0;
}

int Framebuffer::ioctl(unsigned long request, void* arg) {
    switch (request) {
    case FBIOGET_FSCREENINFO:
        if (box_.config.has(Fault::FbFixedInfo)) break;
        std::memcpy(arg, &fix, sizeof fix);
        return 0;
    case FBIOGET_VSCREENINFO:
        if (box_.config.has(Fault::FbVarInfo)) break;
        std::memcpy(arg, &var, sizeof var);
        return 0;
    case FBIOPUT_VSCREENINFO:
        return put_var(static_cast<fb_var_screeninfo*>(arg));
    case FBIOPUTCMAP:
        return put_cmap(static_cast<const fb_cmap*>(arg));
    case FBIOGETCMAP:
        if (box_.config.has(Fault::FbGetCmap)) break;
        return get_cmap(static_cast<fb_cmap*>(arg));
    case FBIOPAN_DISPLAY:
        return pan(static_cast<const fb_var_screeninfo*>(arg));
    default:
        errno = ENOTTY;
        return -1;
    }
    errno = EIO;
    return -1;
}

int Framebuffer::put_var(fb_var_screeninfo* asked) {
    if (box_.config.has(Fault::FbModeSet)) {
        box_.trace(R"({"req":"FBIOPUT_VSCREENINFO","result":"EINVAL"})");
        errno = EINVAL;
        return -1;
    }
    fb_var_screeninfo got = *asked;
    if (box_.config.has(Fault::FbOtherMode)) {
        got.xres = got.xres_virtual = 800;
        got.yres = got.yres_virtual = 600;
        got.bits_per_pixel = 16;
        got.yoffset = 0;
    } else {
        // Like the kernel's driver: the mode is fixed, and a virtual screen that does not
        // fit in the memory is refused (or, for a driver that shrinks it, cut down, an
        // offset past it moved to its last page).
        unsigned line = box_.config.has(Fault::FbPaddedLines) ? 1024 : kWidth;
        got.xres = kWidth;
        got.yres = kHeight;
        got.bits_per_pixel = 8;
        got.xres_virtual = kWidth;
        got.xoffset = 0;
        if (got.yres_virtual < kHeight) got.yres_virtual = kHeight;
        // vfb refuses a virtual screen, or an offset, past its tallest virtual screen, and
        // makes the virtual screen tall enough to hold the page asked to be shown.
        if (got.yres_virtual > kMostVirtualLines || got.yoffset > kMostVirtualLines - kHeight) {
            box_.trace(R"({"req":"FBIOPUT_VSCREENINFO","result":"EINVAL"})");
            errno = EINVAL;
            return -1;
        }
        if (got.yres_virtual < got.yoffset + kHeight) got.yres_virtual = got.yoffset + kHeight;
        unsigned most = fix.smem_len / line;
        if (got.yres_virtual > most) {
            if (!box_.config.has(Fault::FbShrinksVirtual) || most < kHeight) {
                box_.trace(R"({"req":"FBIOPUT_VSCREENINFO","result":"ENOMEM"})");
                errno = ENOMEM;
                return -1;
            }
            got.yres_virtual = most;
        }
        if (got.yoffset > got.yres_virtual - got.yres) got.yoffset = got.yres_virtual - got.yres;
        fix.line_length = line;
    }
    // The answer is the mode the driver set, with the pan asked for. Then the console,
    // which shows text, takes the display back as the kernel's framebuffer console does
    // after every mode set (fbcon_modechanged): it pans to the top of the virtual screen,
    // puts its colours and draws its text again.
    *asked = got;
    var = got;
    var.xoffset = var.yoffset = 0;
    put_console_colours(red, green, blue);
    box_.console.redraw();
    box_.trace(R"({"req":"FBIOPUT_VSCREENINFO","xres":)" + std::to_string(var.xres) + R"(,"yres":)" +
               std::to_string(var.yres) + R"(,"bpp":)" + std::to_string(var.bits_per_pixel) +
               R"(,"yres_virtual":)" + std::to_string(var.yres_virtual) + "}");
    return 0;
}

int Framebuffer::put_cmap(const fb_cmap* map) {
    // As the kernel takes a map: an empty one, or one starting past INT_MAX, is refused;
    // vfb sets the entries of the range that exist and leaves out the rest.
    if (box_.config.has(Fault::FbPutCmap) || map == nullptr || map->len == 0 || map->start > INT_MAX ||
        map->red == nullptr || map->green == nullptr || map->blue == nullptr) {
        errno = EINVAL;
        return -1;
    }
    unsigned count = map->start < 256 ? std::min(map->len, 256 - map->start) : 0;
    for (unsigned i = 0; i < count; i++) {
        red[map->start + i] = map->red[i];
        green[map->start + i] = map->green[i];
        blue[map->start + i] = map->blue[i];
    }
    cmap_puts++;
    box_.trace(R"({"req":"FBIOPUTCMAP","start":)" + std::to_string(map->start) + R"(,"len":)" +
               std::to_string(map->len) + R"(,"rgb0":[)" + std::to_string(red[0]) + "," + std::to_string(green[0]) +
               "," + std::to_string(blue[0]) + R"(],"rgb255":[)" + std::to_string(red[255]) + "," +
               std::to_string(green[255]) + "," + std::to_string(blue[255]) + "]}");
    if (box_.observer) box_.observer->display_changed(box_.clock.now_us());
    return 0;
}

int Framebuffer::get_cmap(fb_cmap* map) {
    // As the kernel copies its map out: the entries of the range that the map has, from
    // the start asked for; the map keeps no transparency, so none is written.
    if (map == nullptr || map->start >= 256 || map->len == 0 || map->red == nullptr || map->green == nullptr ||
        map->blue == nullptr) {
        errno = EINVAL;
        return -1;
    }
    unsigned count = std::min(map->len, 256 - map->start);
    for (unsigned i = 0; i < count; i++) {
        map->red[i] = red[map->start + i];
        map->green[i] = green[map->start + i];
        map->blue[i] = blue[map->start + i];
    }
    return 0;
}

int Framebuffer::pan(const fb_var_screeninfo* asked) {
    if (asked->xoffset != 0 || asked->yoffset > var.yres_virtual - var.yres) {
        box_.trace(R"({"req":"FBIOPAN_DISPLAY","yoffset":)" + std::to_string(asked->yoffset) + R"(,"result":"EINVAL"})");
        errno = EINVAL;
        return -1;
    }
    // A page flip takes the box a while: model it as the shortest interval between two
    // flips, so that an effect without a frame timer runs at the box's pace.
    std::uint64_t now = box_.clock.now_us();
    if (pans > 0 && now < last_pan_us_ + box_.config.pan_cost_us) box_.clock.wait_until(last_pan_us_ + box_.config.pan_cost_us);
    last_pan_us_ = box_.clock.now_us();
    var.yoffset = asked->yoffset;
    pans++;
    box_.trace(R"({"req":"FBIOPAN_DISPLAY","yoffset":)" + std::to_string(var.yoffset) + "}");
    if (box_.observer) box_.observer->display_changed(last_pan_us_);
    return 0;
}

void* Framebuffer::map(std::size_t length) {
    if (box_.config.has(Fault::FbMap) || length > memory.size()) {
        errno = EINVAL;
        return nullptr;
    }
    return memory.data();
}

std::array<std::uint8_t, 768> Framebuffer::palette8() const {
    std::array<std::uint8_t, 768> out{};
    for (unsigned i = 0; i < 256; i++) {
        out[3 * i] = std::uint8_t(red[i] >> 8);
        out[3 * i + 1] = std::uint8_t(green[i] >> 8);
        out[3 * i + 2] = std::uint8_t(blue[i] >> 8);
    }
    return out;
}

}  // namespace emu
