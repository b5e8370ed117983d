#include "show/zoomer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <sys/ioctl.h>
#include <sys/time.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/exit_status.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/frame_paths.h"
#include "show/frame_vectors.h"
#include "show/pngload.h"
#include "show/zoomer_words.h"

namespace {

using zoomer_words::row_words;

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

#if defined(DEMO_FRAME_VECTORS)
// With a vector unit, its passes from the row's first boundary of its width on, the
// words before it and after its last whole pass the portable way.
void row_vectors(std::uint8_t* out, const std::uint8_t* logo, std::uint64_t st, std::uint64_t step) {
    constexpr int kPassWords = frame_vectors::kZoomBytes / 4;
    const int head = int(-reinterpret_cast<std::uintptr_t>(out) & (frame_vectors::kZoomBytes - 1)) / 4;
    const int passes = (kRowWords - head) / kPassWords;
    if (head > 0) row_words(out, logo, st, step, head);
    st += std::uint64_t(2 * head) * step;
    frame_vectors::zoom_row(out + 4 * head, logo, std::uint32_t(st), std::uint32_t(st >> 32), std::uint32_t(step),
                            std::uint32_t(step >> 32), passes);
    const int tail = kRowWords - head - kPassWords * passes;
    st += std::uint64_t(2 * kPassWords * passes) * step;
    if (tail > 0) row_words(out + 4 * (kRowWords - tail), logo, st, step, tail);
}
#endif

#if defined(__SSE2__)
// With SSE2, eight samples make 16 pixels at once. The coordinates of four samples in
// a row stand in four 32-bit lanes, u and v apart, each as in `coordinates`; their
// texel indices are worked out four at a time and each lane's texel goes into a 16-bit
// lane, which shifted and merged fills both its pixels. A compare with 0 marks the
// transparent pairs, which keep the old bytes halved. The last two words of the row
// go a word at a time.
__m128i lanes(std::uint32_t first, std::uint32_t step) {
    return _mm_setr_epi32(int(first), int(first + step), int(first + 2 * step), int(first + 3 * step));
}

__m128i texel_indices(__m128i u, __m128i v) {
    return _mm_or_si128(_mm_srli_epi32(u, 24), _mm_and_si128(_mm_srli_epi32(v, 16), _mm_set1_epi32(0xff00)));
}

void row_wide(std::uint8_t* out, const std::uint8_t* logo, std::uint64_t st, std::uint64_t step) {
    constexpr int kPasses = 4 * kRowWords / 16;
    const std::uint32_t du = std::uint32_t(step), dv = std::uint32_t(step >> 32);
    __m128i u0 = lanes(std::uint32_t(st), du), v0 = lanes(std::uint32_t(st >> 32), dv);
    __m128i u4 = lanes(std::uint32_t(st) + 4 * du, du), v4 = lanes(std::uint32_t(st >> 32) + 4 * dv, dv);
    const __m128i du8 = _mm_set1_epi32(int(8 * du)), dv8 = _mm_set1_epi32(int(8 * dv));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low7 = _mm_set1_epi8(0x7f);
    for (int pass = 0; pass < kPasses; pass++, out += 16) {
        const __m128i i0 = texel_indices(u0, v0), i4 = texel_indices(u4, v4);
        __m128i samples = _mm_cvtsi32_si128(logo[_mm_extract_epi16(i0, 0)]);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i0, 2)], 1);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i0, 4)], 2);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i0, 6)], 3);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i4, 0)], 4);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i4, 2)], 5);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i4, 4)], 6);
        samples = _mm_insert_epi16(samples, logo[_mm_extract_epi16(i4, 6)], 7);
        u0 = _mm_add_epi32(u0, du8);
        v0 = _mm_add_epi32(v0, dv8);
        u4 = _mm_add_epi32(u4, du8);
        v4 = _mm_add_epi32(v4, dv8);
        const __m128i pairs = _mm_or_si128(samples, _mm_slli_epi16(samples, 8));
        const __m128i keep = _mm_cmpeq_epi8(pairs, zero);
        auto* p = reinterpret_cast<__m128i*>(out);
        const __m128i halved = _mm_and_si128(_mm_srli_epi16(_mm_loadu_si128(p), 1), low7);
        _mm_storeu_si128(p, _mm_or_si128(_mm_and_si128(halved, keep), pairs));
    }
    row_words(out, logo, st + std::uint64_t(8 * kPasses) * step, step, kRowWords - 4 * kPasses);
}
#endif

// The frame, each row drawn by draw_row(out, logo, coordinates, step).
template <typename Row>
void render(int u, int v, int xpart, int ypart, int zoom, std::uint8_t* page, Row draw_row) {
    int du = (zoom * xpart) >> 12;
    int dv = (zoom * ypart) >> 12;
    std::uint8_t* out = page + kWindowStart;
    for (int row = 0; row < kRows; row++) {
        draw_row(out, zoomlogo, coordinates(u, v), coordinates(du, dv));
        out += 4 * kRowWords + kRowSkip;
        // The next row starts one step across; its own step tilts a little more.
        u -= dv;
        v += du;
        dv += kShearPerRow;
    }
}

void row_narrow(std::uint8_t* out, const std::uint8_t* logo, std::uint64_t st, std::uint64_t step) {
    row_words(out, logo, st, step, kRowWords);
}

// Which of four texels are opaque, as bits 0 to 3 in memory order: each byte's top
// bit set where the byte is not 0, and those four bits gathered by a product whose
// terms do not overlap.
std::uint32_t opaque_bits(const std::uint8_t* texels) {
    std::uint32_t w;
    std::memcpy(&w, texels, 4);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    const std::uint32_t tops = (((w & 0x7f7f7f7fu) + 0x7f7f7f7fu) | w) & 0x80808080u;
    return (tops >> 7) * 0x00204081u >> 21 & 15;
}

// The logo's maps of texels the word loops pass over, after its texels
// (zoomer_words.h). The opaque texels are bits, 32 texels of a row to a word, spread
// round the logo by steps that each join every bit's place with the places `by` texels
// across and down on either side (reaches 1, 2, 4, 8 and 12 after steps of 1, 1, 2, 4
// and 4). At each map's reach, a texel's byte is 1 where no bit has reached it.
void map_clear_texels(std::uint8_t* logo) {
    using zoomer_words::kMaps, zoomer_words::kReaches;
    constexpr int kWords = kLogoSize / 32;
    using Rows = std::array<std::array<std::uint32_t, kWords>, kLogoSize>;
    Rows near, across;
    for (int y = 0; y < kLogoSize; y++)
        for (int w = 0; w < kWords; w++) {
            std::uint32_t bits = 0;
            for (int n = 0; n < 8; n++) bits |= opaque_bits(logo + y * kLogoSize + 32 * w + 4 * n) << 4 * n;
            near[y][w] = bits;
        }
    // The bytes of eight texels for eight of those bits, in memory order.
    std::uint32_t bytes[256][2];
    for (int n = 0; n < 256; n++) {
        std::uint8_t clear[8];
        for (int i = 0; i < 8; i++) clear[i] = std::uint8_t(~n >> i & 1);
        std::memcpy(bytes[n], clear, 8);
    }
    int reach = 0;
    for (int k = 0; k < kMaps; k++) {
        while (reach < kReaches[k]) {
            const int by = std::min(std::max(reach, 1), kReaches[k] - reach);
            for (int y = 0; y < kLogoSize; y++)
                for (int w = 0; w < kWords; w++) {
                    const std::uint32_t bits = near[y][w], before = near[y][(w + kWords - 1) % kWords],
                                        after = near[y][(w + 1) % kWords];
                    across[y][w] = bits | bits << by | before >> (32 - by) | bits >> by | after << (32 - by);
                }
            for (int y = 0; y < kLogoSize; y++)
                for (int w = 0; w < kWords; w++)
                    near[y][w] = across[(y + kLogoSize - by) % kLogoSize][w] | across[y][w] |
                                 across[(y + by) % kLogoSize][w];
            reach += by;
        }
        // On the alignment of every allocation.
        auto* clear = static_cast<std::uint8_t*>(__builtin_assume_aligned(zoomer_words::clear_map(logo, k), 8));
        std::uint32_t everywhere = ~0u;
        for (const auto& row : near)
            for (const std::uint32_t bits : row) {
                everywhere &= bits;
                for (int n = 0; n < 4; n++, clear += 8) std::memcpy(clear, bytes[bits >> 8 * n & 255], 8);
            }
        zoomer_words::map_has_clear(logo, k) = everywhere != ~0u;
    }
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
        e[0] = std::int32_t(A * sine(a) + A);
        e[1] = std::int32_t(A - A * cosine(b));
        e[2] = std::int32_t(4096.0 * sine(r));
        e[3] = std::int32_t(-4096.0 * cosine(r));
        e[4] = std::int32_t(8192.0 * cosine(z) + 8704.0);
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
const std::uint8_t* const& zoomlogo = ::zoomlogo;
const std::uint16_t (&pal)[3 * 256] = ::pal;
int& cnt = ::cnt;
int& j = ::j;
int& f = ::f;
}  // namespace zoomer_state

int zoom_init() {
    std::FILE* logo = box::fopen(kLogoPath, "rb");
    if (logo == nullptr) std::exit(kExitNoFile);
    int width = 0, height = 0;
    int result = read_png(logo, &zoomlogo, &cmap, &width, &height);
    std::fclose(logo);
    // A logo that cannot be drawn is as good as none.
    if (result != 0) std::exit(kExitNoFile);
    if (width != kLogoSize || height != kLogoSize) {
        std::free(zoomlogo);
        std::exit(kExitNoFile);
    }
    void* with_map = std::realloc(zoomlogo, zoomer_words::kLogoBytes);
    if (with_map == nullptr) {
        std::free(zoomlogo);
        std::exit(kExitNoMemory);
    }
    zoomlogo = static_cast<std::uint8_t*>(with_map);
    map_clear_texels(zoomlogo);

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
    if (table == nullptr) std::exit(kExitNoMemory);
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
#if defined(__SSE2__)
    if (frame_paths::current() == frame_paths::Path::sse2) {
        render(u, v, xpart, ypart, zoom, page, row_wide);
        return;
    }
#endif
#if defined(DEMO_FRAME_VECTORS)
    if (frame_paths::current() != frame_paths::Path::words) {
        render(u, v, xpart, ypart, zoom, page, row_vectors);
        return;
    }
#endif
    render(u, v, xpart, ypart, zoom, page, row_narrow);
}

void zoomer_state::put_logo(const std::uint8_t* texels) {
    std::memcpy(::zoomlogo, texels, zoomer_words::kTexels);
    map_clear_texels(::zoomlogo);
}

void zoomer_state::zoomrotate_by_words(int u, int v, int xpart, int ypart, int zoom, std::uint8_t* page) {
    render(u, v, xpart, ypart, zoom, page, row_narrow);
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
