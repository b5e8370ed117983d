#include "show/fbstuff.h"

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include "box/box.h"

int fbfd;
struct fb_fix_screeninfo finfo;
struct fb_var_screeninfo vinfo;
std::uint8_t* scrn;

namespace {

std::uint16_t bpal[256];
std::uint16_t ipal[3 * 256];
std::uint16_t apal[3 * 256];
const struct fb_cmap* tmap;
int step;
int steps;

// The screen as the show found it, put back when the show gives the box back.
bool claimed;
struct fb_var_screeninfo found_vinfo;
std::uint16_t found_pal[3 * 256];
struct fb_cmap found_cmap = {0, 256, found_pal, found_pal + 256, found_pal + 512, nullptr};
bool found_cmap_read;

// The four pages the effects draw into.
constexpr std::uint32_t kPagesBytes = 4 * kPageBytes;

}  // namespace

struct fb_cmap black = {0, 256, bpal, bpal, bpal, nullptr};
struct fb_cmap imap = {0, 256, ipal, ipal + 256, ipal + 512, nullptr};

int init_framebuf() {
    fbfd = box::open("/dev/fb0", O_RDWR);
    if (fbfd < 0) return 1;
    if (box::ioctl(fbfd, FBIOGET_FSCREENINFO, &finfo) != 0) return 2;
    if (box::ioctl(fbfd, FBIOGET_VSCREENINFO, &vinfo) != 0) return 3;
    found_vinfo = vinfo;
    found_cmap_read = box::ioctl(fbfd, FBIOGETCMAP, &found_cmap) == 0;
    claimed = true;
    vinfo.xres = 640;
    vinfo.yres = 480;
    vinfo.xres_virtual = 640;
    vinfo.yres_virtual = 2880;
    vinfo.xoffset = 0;
    vinfo.yoffset = 0;
    vinfo.bits_per_pixel = 8;
    if (box::ioctl(fbfd, FBIOPUT_VSCREENINFO, &vinfo) != 0) return 4;
    // The driver wrote back what it settled on; only the visible mode matters.
    if (vinfo.xres != 640 || vinfo.yres != 480 || vinfo.bits_per_pixel != 8) return 5;
    // The mode set may have changed the line length: the pages must lie where the
    // effects draw them, all of them within the memory that is mapped.
    if (box::ioctl(fbfd, FBIOGET_FSCREENINFO, &finfo) != 0) return 2;
    if (finfo.line_length != 640 || finfo.smem_len < kPagesBytes) return 5;
    void* mem = box::mmap(finfo.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fbfd, 0);
    if (mem == MAP_FAILED) return 6;
    scrn = static_cast<std::uint8_t*>(mem);
    std::memset(scrn, 0, finfo.smem_len);
    return 0;
}

void restore_framebuf() {
    if (!claimed) return;
    struct fb_var_screeninfo mode = found_vinfo;
    box::ioctl(fbfd, FBIOPUT_VSCREENINFO, &mode);
    mode = found_vinfo;
    box::ioctl(fbfd, FBIOPAN_DISPLAY, &mode);
    // The mode set gave the console its own colours; the rest of the map is put back after.
    if (found_cmap_read) box::ioctl(fbfd, FBIOPUTCMAP, &found_cmap);
    // Only now: a stop that arrives in the middle makes the exit give the screen back again.
    claimed = false;
}

void init_fadein(const struct fb_cmap* from, const struct fb_cmap* to, int nsteps) {
    tmap = to;
    step = 0;
    steps = nsteps;
    const std::uint16_t* src[3] = {from->red, from->green, from->blue};
    const std::uint16_t* dst[3] = {to->red, to->green, to->blue};
    for (int c = 0; c < 3; c++) {
        for (int i = 0; i < 256; i++) {
            ipal[c * 256 + i] = src[c][i];
            int diff = int(dst[c][i]) - int(src[c][i]);
            apal[c * 256 + i] = std::uint16_t(diff / nsteps);
        }
    }
}

int fade_step() {
    if (step >= steps) {
        if (tmap != nullptr) box::ioctl(fbfd, FBIOPUTCMAP, const_cast<struct fb_cmap*>(tmap));
        return 1;
    }
    for (int i = 0; i < 3 * 256; i++) ipal[i] = std::uint16_t(ipal[i] + apal[i]);
    step++;
    box::ioctl(fbfd, FBIOPUTCMAP, &imap);
    return 0;
}
