// The end titles: the credits text, drawn once with the bitmap font into a tall bitmap,
// scrolls up the screen; the top and bottom 120 rows sway sideways on a fixed wave, and
// the 3D section's starfield turns on behind, showing through the pixels of value 0.
// Owns the font (only while setting up), the text, the text bitmap, the wave and the
// titles' colour map; takes over the star arrays of the 3D section and frees them.
//
// Needs: the font picture and the text from the data stream fp (read_png, cryptread),
// the framebuffer and fades (fbstuff), the shared star and frame code
// (threedee_state.h), the AC-3 player to keep the sound device fed.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/exit_status.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/pngload.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "show/vidparm.h"

namespace theend_state {

std::uint8_t* pic;
int w, h;
int cw, ch;
std::uint8_t* endtitles;
int endtitles_size;
int lin;
int rows;
std::uint8_t* sourcepic;
int offs[480];
int y;
std::uint16_t pal[768];
struct fb_cmap cmap = {0, 256, pal, pal + 256, pal + 512, nullptr};

}  // namespace theend_state

using namespace theend_state;
using namespace threedee_state;

namespace {

// Rows of the text bitmap and of a page are 640 bytes.
constexpr int kRow = 640;

// The stars' ramp from black through dark blue to a pale blue-white.
void star_ramp() {
    for (int j = 0; j < 16; j++) {
        auto rg = std::uint16_t(j >= 9 ? 8192 * (j - 8) : 0);
        pal[240 + j] = rg;
        pal[256 + 240 + j] = rg;
        pal[512 + 240 + j] = std::uint16_t(4096 * j);
    }
}

// The wave: no shift in the middle 240 rows, a swing growing toward the top and the
// bottom edge, mirrored between them.
void make_wave() {
    std::fill(offs + 120, offs + 360, 0);
    for (int j = 0; j < 120; j++) {
        auto v = int(sine(double(j) * 0.06283185307179587) * double(j * j / 100));
        offs[360 + j] = v;
        offs[119 - j] = -v;
        ac3_process();
    }
}

// Draws each line of the text centred into its row of cells of the bitmap.
void draw_lines() {
    std::uint8_t* line = endtitles;
    for (int k = 0;; k++) {
        std::uint8_t* end = line;
        while (*end != 0 && *end != 10) end++;
        const bool separated = *end == 10;
        *end = 0;
        // A line wider than the screen starts left of column 0; prettyprint clips there.
        const long long left = 320 - static_cast<long long>(cw) * (end - line) / 2;
        prettyprint(sourcepic, int(std::max<long long>(left, INT_MIN)), ch * k, line, 639, ch * k + 1);
        ac3_process();
        if (!separated || k + 1 == lin) return;
        line = end + 1;
    }
}

// Screen row r of the window, moved sideways by o, into dst; column 639 is left alone.
void copy_row(std::uint8_t* dst, const std::uint8_t* src, int o) {
    if (o >= 0) {
        std::memset(dst, 0, std::size_t(o));
        std::memcpy(dst + o, src, std::size_t(639 - o));
    } else {
        std::memcpy(dst, src - o, std::size_t(639 + o));
        std::memset(dst + 639 + o, 0, std::size_t(-o));
    }
}

}  // namespace

int theend_init() {
    // A font that cannot be read leaves the titles without text: the stars still turn,
    // the scroll ends at once and the show closes as usual.
    if (read_png(nullptr, &pic, &cmap, &w, &h) != 0) {
        pic = nullptr;
        w = 0;
        h = 0;
    }

    // The text runs from here to the end of the file.
    const long here = std::ftell(fp);
    std::fseek(fp, 0, SEEK_END);
    const long end = std::ftell(fp);
    std::fseek(fp, here, SEEK_SET);
    if (end - here >= INT_MAX) std::exit(kExitNoMemory);
    endtitles_size = end > here ? int(end - here) : 0;

    // One byte more than stored, set to 0: a text without its own 0 still ends there.
    endtitles = static_cast<std::uint8_t*>(std::malloc(std::size_t(endtitles_size) + 1));
    if (endtitles == nullptr) std::exit(kExitNoMemory);
    endtitles[endtitles_size] = 0;
    ac3_process();
    cryptread(endtitles, std::size_t(endtitles_size), 1, fp);
    star_ramp();
    ac3_process();

    ch = h >> 4;
    cw = w >> 4;
    lin = 1;
    for (const std::uint8_t* p = endtitles; *p != 0; p++) lin += *p == 10;

    // The window needs a screen's worth of rows: a shorter text gets blank rows below
    // it, shows at once and does not scroll.
    const long long text_rows = static_cast<long long>(ch) * lin;
    if (text_rows > INT_MAX || static_cast<unsigned long long>(text_rows) > SIZE_MAX / kRow) std::exit(kExitNoMemory);
    rows = int(std::max<long long>(text_rows, 480));
    sourcepic = static_cast<std::uint8_t*>(std::malloc(std::size_t(rows) * kRow));
    if (sourcepic == nullptr) std::exit(kExitNoMemory);
    std::memset(sourcepic, 0, std::size_t(rows) * kRow);

    make_wave();
    draw_lines();
    std::free(pic);
    pic = nullptr;

    syi = 32;
    axi = 9;
    ayi = 15;
    azi = 14;
    y = 0;
    f = 0;
    std::memset(scrn, 0, finfo.smem_len);
    box::ioctl(fbfd, FBIOPUTCMAP, &cmap);
    return 0;
}

int theend_frame() {
    const struct timeval deadline = frame_deadline();
    std::uint8_t* page = scrn + f * kPageBytes;
    for (int r = 0; r < 480; r++)
        copy_row(page + r * kRow, sourcepic + std::size_t(y + r) * kRow, offs[r]);
    transform_stars();
    plot_stars(page);
    advance_angles();
    show_page();
    const int last = rows - 480;
    if (y < last) y += 1;
    wait_until(deadline);
    return y == last ? 1 : 0;
}

void theend_fadeout_init() { init_fadein(&cmap, &black, 256); }

int theend_deinit() {
    std::free(sourcepic);
    std::free(endtitles);
    std::free(sry);
    std::free(srz);
    std::free(srx);
    std::free(stars);
    return 0;
}

void prettyprint(std::uint8_t* destination, int x, int top, const std::uint8_t* text, int clip, int limit) {
    int pen = x;
    int row = top;
    for (;;) {
        if (row >= limit) return;
        const unsigned k = *text;
        if (k == 0) return;
        if (k == 10) {
            text++;
            row += ch;
            pen = x;
            continue;
        }
        if (pen >= clip) {
            // Nothing more of this line; carry on at the next line, if there is one.
            while (*text != 0 && *text != 10) text++;
            continue;
        }
        text++;
        // Columns of the cell that land on the bitmap: none left of column 0, none at
        // or right of the clip column.
        const int from = pen >= 0 ? 0 : pen <= -cw ? cw : -pen;
        const int to = pen <= clip - cw ? cw : clip - pen;
        if (from < to) {
            const std::uint8_t* glyph = pic + std::size_t(k >> 4) * std::size_t(cw);
            for (int i = 0; i < ch; i++) {
                const std::uint8_t* src = glyph + std::size_t(w) * std::size_t((k & 15) * ch + i);
                std::uint8_t* dst = destination + std::ptrdiff_t(kRow) * (row + i) + (pen + from);
                std::memcpy(dst, src + from, std::size_t(to - from));
            }
        }
        pen += cw;
    }
}
