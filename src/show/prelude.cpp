// The thanks prelude: a still picture with its own soundtrack, faded in from black, two
// sprite animations at fixed music times, and a bounce that tosses the picture off the
// screen. It builds the sine table one entry per idle pass while it waits.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/exit_status.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/pngload.h"
#include "show/vidparm.h"

namespace {

constexpr std::uint32_t kFadeStart = 174;
constexpr std::uint32_t kFirstAnimation = 421;
constexpr std::uint32_t kSecondAnimation = 445;
constexpr int kSpriteWidth = 64;
constexpr int kSpriteRows = 67;

struct Event {
    int picture, x, y, delay_ms;
};
// Picture 0 draws nothing: it waits for the second animation's time.
constexpr Event kEvents[11] = {
    {3, 410, 50, 50},  {2, 410, 50, 50},  {1, 410, 50, 50},  {2, 410, 50, 50},  {3, 410, 50, 50}, {0, 0, 0, 0},
    {3, 230, 353, 50}, {2, 230, 353, 50}, {1, 230, 353, 50}, {2, 230, 353, 50}, {3, 230, 353, 50},
};

void pan_to(unsigned yoffset) {
    vinfo.yoffset = yoffset;
    box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo);
}

// Waits for the music to reach frame n, building the sine table meanwhile.
void wait_building_table(std::uint32_t n) {
    while (fcount < n && ac3_process() == 0) calc_step();
}

void free_pictures(std::uint8_t* pics[4]) {
    for (int i = 3; i >= 0; i--) {
        std::free(pics[i]);
        pics[i] = nullptr;
    }
}

}  // namespace

void thnx() {
    std::uint16_t red[256] = {}, green[256] = {}, blue[256] = {};
    struct fb_cmap colours = {0, 256, red, green, blue, nullptr};
    std::uint8_t* pics[4] = {};

    // A picture that does not load, or does not have the size the prelude draws with,
    // means a damaged data file: end as for a soundtrack that does not load.
    for (int i = 0; i < 4; i++) {
        int w = 0, h = 0;
        int r = read_png(nullptr, &pics[i], i == 0 ? &colours : nullptr, &w, &h);
        bool fits = i == 0 ? (w == 640 && h == 480) : (w == kSpriteWidth && h >= kSpriteRows);
        if (r != 0 || !fits) {
            free_pictures(pics);
            std::exit(kExitSetUpFailed);
        }
    }
    if (crypted_ac3_init(fp) < 0) {
        free_pictures(pics);
        std::exit(kExitSetUpFailed);
    }

    std::uint8_t* page1 = scrn + kPageBytes;
    std::memcpy(page1, pics[0], kPageBytes);
    pan_to(480);
    init_fadein(&black, &colours, 256);

    wait_building_table(kFadeStart);
    while (fade_step() == 0) {
        calc_step();
        ac3_process();
        box::usleep(12000);
    }
    wait_building_table(kFirstAnimation);

    // The sprites are drawn into page 1, on display, and the background restored
    // under them after each frame.
    for (const Event& e : kEvents) {
        if (e.picture == 0) {
            wait_building_table(kSecondAnimation);
            continue;
        }
        const std::uint8_t* sprite = pics[e.picture];
        for (int j = 0; j < kSpriteRows; j++) {
            for (int i = 0; i < kSpriteWidth; i++) {
                std::uint8_t v = sprite[j * kSpriteWidth + i];
                if (v != 0) page1[(e.y + j) * 640 + e.x + i] = v;
            }
        }
        box::usleep(unsigned(e.delay_ms) * 1000);
        ac3_process();
        for (int j = 0; j < kSpriteRows; j++) {
            int at = (e.y + j) * 640 + e.x;
            std::memcpy(page1 + at, pics[0] + at, kSpriteWidth);
        }
    }

    while (ac3_process() == 0) box::usleep(10000);

    // Toss the picture up; it falls back through its place and off the bottom. The
    // lines around page 1 are pages 0 and 2, cleared at set-up.
    int p = 480, s = 30;
    do {
        pan_to(unsigned(p));
        p += s;
        box::usleep(10000);
        ac3_process();
        s -= 2;
    } while (p >= 0);
    pan_to(0);

    ac3_stop(0);
    // On a machine too slow to build the whole table in the waits, finish it now: the
    // later sections need all of it.
    while (calc_step() == 0) {
    }
    free_pictures(pics);
    std::memset(scrn, 0, finfo.smem_len);
    box::ioctl(fbfd, FBIOPUTCMAP, &black);
}
