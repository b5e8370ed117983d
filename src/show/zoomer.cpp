#include "show/zoomer.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <sys/ioctl.h>
#include <sys/time.h>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/fbstuff.h"
#include "show/pngload.h"

namespace {

constexpr char kLogoPath[] = "/mnt/html/gui/Velmaris.png";
constexpr int kLogoSize = 256;
constexpr int kTableValues = zoomer_state::kEntries * 5;

// The window: 150 words (600 pixels) of 220 rows on every other line, from line 20,
// column 20.
constexpr int kWindowStart = 20 * 640 + 20;
constexpr int kRowWords = 150;
constexpr int kRows = 220;
constexpr int kRowSkip = 640 - 4 * kRowWords + 640;  // margins and the untouched line between
constexpr int kShearPerRow = 20;

// A word holds four pixels in memory order: the left sample goes to its two
// lower-addressed bytes, the right one to the other two. In a 32-bit value those are
// the low half on a little-endian CPU and the high half on a big-endian one.
constexpr bool kLittle = std::endian::native == std::endian::little;
constexpr int kLeftShift = kLittle ? 0 : 16;
constexpr int kRightShift = kLittle ? 16 : 0;

// What one logo index does to its pair of pixels, for a pair in the low half of a word:
// the low 32 bits hold the pixels to put in, the high 32 bits the mask that keeps the
// old, halved pixels. Index 0 is transparent: no pixels, keep the halved ones (0x7f
// also clears the bit each byte's halving brings in from its neighbour). Any other
// index: both pixels are that index, nothing kept.
constexpr std::array<std::uint64_t, 256> kPairs = [] {
    std::array<std::uint64_t, 256> pairs{};
    pairs[0] = std::uint64_t(0x7f7f) << 32;
    for (std::uint64_t i = 1; i < 256; i++) pairs[i] = i * 0x0101;
    return pairs;
}();

std::uint8_t* zoomlogo;
std::uint16_t pal[3 * 256];
struct fb_cmap cmap = {0, 256, pal, pal + 256, pal + 512, nullptr};
std::int32_t* table;
int cnt;
int j;
int f;
std::uint8_t* starts[4];
constexpr std::uint32_t yoffs[4] = {0, 480, 960, 1440};
constexpr struct timeval frametime = {0, 25000};

// Both coordinates of a sample travel in one 64-bit word, v in the high half and u
// in the low half, each shifted left by 12: only a coordinate's bits 12..19, its whole
// texel modulo 256, pick the texel, and shifted up they are the top byte of their half.
// One addition steps both. Each half wraps modulo 2^32, which keeps those bits exact:
// the logo repeats every 256 texels both ways, for negative coordinates too. Carries
// out of the low half land in the high half's 12 zero bits below v's fraction; a row
// has 300 samples, too few for them to reach it.
inline std::uint64_t coordinates(int u, int v) {
    return std::uint64_t(std::uint32_t(v) << 12) << 32 | (std::uint32_t(u) << 12);
}

inline std::uint8_t texel(const std::uint8_t* logo, std::uint64_t uv) {
    return logo[((uv >> 48) & 0xff00u) | (std::uint32_t(uv) >> 24)];
}

bool earlier(const struct timeval& a, const struct timeval& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

void fill_table() {
    constexpr double pi = std::numbers::pi;
    constexpr double A = 33161216.0;  // 8096 texels in 12-bit fixed point
    double a = 0.0, b = 0.0, r = pi / 2, z = 0.0;
    for (int n = 0; n < zoomer_state::kEntries; n++) {
        std::int32_t* e = table + 5 * n;
        e[0] = std::int32_t(A * std::sin(a) + A);
        e[1] = std::int32_t(A - A * std::cos(b));
        e[2] = std::int32_t(4096.0 * std::sin(r));
        e[3] = std::int32_t(-4096.0 * std::cos(r));
        e[4] = std::int32_t(8192.0 * std::cos(z) + 8704.0);
        a += pi / 6400;
        b += pi / 3200;
        r += pi / 400;
        z += pi / 200;
        if (n % 10 == 0) ac3_process();
    }
}

}  // namespace

namespace zoomer_state {
std::int32_t* const& table = ::table;
std::uint8_t* const& zoomlogo = ::zoomlogo;
const std::uint16_t (&pal)[3 * 256] = ::pal;
int& cnt = ::cnt;
int& j = ::j;
int& f = ::f;
}  // namespace zoomer_state

int zoom_init() {
    std::FILE* logo = box::fopen(kLogoPath, "rb");
    if (logo == nullptr) std::exit(2);
    int width = 0, height = 0;
    int result = read_png(logo, &zoomlogo, &cmap, &width, &height);
    std::fclose(logo);
    // A logo that cannot be drawn is as good as none.
    if (result != 0) std::exit(2);
    if (width != kLogoSize || height != kLogoSize) {
        std::free(zoomlogo);
        std::exit(2);
    }

    for (int k = 0; k < 4; k++) starts[k] = scrn + k * kPageBytes;

    // The logo a quarter brighter, each channel capped at full.
    for (std::uint16_t& value : pal) {
        double brighter = value * 1.25;
        value = brighter > 65535.0 ? 65535 : std::uint16_t(brighter);
    }

    ac3_process();
    box::ioctl(fbfd, FBIOPUTCMAP, &black);
    init_fadein(&black, &cmap, 32);

    table = static_cast<std::int32_t*>(std::malloc(kTableValues * sizeof(std::int32_t)));
    if (table == nullptr) std::exit(12);
    fill_table();
    return 0;
}

int zoom_frame(int mode) {
    struct timeval deadline;
    box::gettimeofday(&deadline);
    deadline.tv_sec += frametime.tv_sec;
    deadline.tv_usec += frametime.tv_usec;
    if (deadline.tv_usec > 999999) {
        deadline.tv_usec -= 1000000;
        deadline.tv_sec++;
    }

    const std::int32_t* e = table + cnt;
    zoomrotate(e[0], e[1], e[2], e[3], e[4], starts[f]);
    vinfo.yoffset = yoffs[f];
    box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo);
    f = (f + 1) & 3;

    int result = mode == 1 ? 0 : fade_step();

    // Forwards to the last entry, which is shown twice, back to entry 0, which is
    // shown once, and forwards again.
    if (j == 0) {
        cnt += 5;
        if (cnt > kTableValues - 1) {
            cnt = kTableValues - 5;
            j = 1;
        }
    } else {
        cnt -= 5;
        if (cnt <= 0) {
            cnt = 0;
            j = 0;
        }
    }

    struct timeval now;
    do {
        ac3_process();
        box::gettimeofday(&now);
    } while (earlier(now, deadline));
    return result;
}

void zoomrotate(int u, int v, int xpart, int ypart, int zoom, std::uint8_t* page) {
    int du = (zoom * xpart) >> 12;
    int dv = (zoom * ypart) >> 12;
    const std::uint8_t* logo = zoomlogo;
    std::uint8_t* out = page + kWindowStart;
    for (int row = 0; row < kRows; row++) {
        std::uint64_t st = coordinates(u, v);
        const std::uint64_t step = coordinates(du, dv);
        for (int word = 0; word < kRowWords; word++) {
            std::uint32_t p = texel(logo, st);
            st += step;
            std::uint32_t q = texel(logo, st);
            st += step;
            // Where the logo is transparent the old index shows through, halved.
            std::uint64_t pq = (kPairs[p] << kLeftShift) | (kPairs[q] << kRightShift);
            std::uint32_t w;
            std::memcpy(&w, out, 4);
            w = ((w >> 1) & std::uint32_t(pq >> 32)) | std::uint32_t(pq);
            std::memcpy(out, &w, 4);
            out += 4;
        }
        out += kRowSkip;
        // The next row starts one step across; its own step tilts a little more.
        u -= dv;
        v += du;
        dv += kShearPerRow;
    }
}

int zoom_fadeout_init() {
    init_fadein(&cmap, &black, 16);
    return 0;
}

int zoom_deinit() {
    std::free(table);
    std::free(zoomlogo);
    table = nullptr;
    zoomlogo = nullptr;
    std::memset(scrn, 0, finfo.smem_len);
    return 0;
}
