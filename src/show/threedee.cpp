// The 3D section: four flat-shaded models that approach and spin in front of a
// drifting starfield while the hue cross-fades. Owns the models (built in, loaded into
// integer arrays), the seven colour maps, the work arrays, the starfield and the scene
// state that the end titles carry on with (threedee_state.h).
//
// Needs: the framebuffer pages and the fade engine (fbstuff), the sine table
// (fastmath), the AC-3 player to keep the sound device fed (ac3audio).
#include "show/exit_status.h"
#include "show/threedee.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/frame_paths.h"
#include "show/frame_vectors.h"
#include "show/showdata.h"
#include "show/threedee_state.h"

namespace threedee_state {

const std::uint8_t* starts[kModels] = {_binary_velmaris_bin_start, _binary_duck_bin_start, _binary_face_bin_start,
                                       _binary_x29_bin_start};
int numvert[kModels];
int numface[kModels];
vec3* vertices[kModels];
tri* faces[kModels];
int maxv, maxf;

vec3 *rx, *rz, *ry;
tri* drawfaces;
vec3 s1, s2, cp;

vec3 *stars, *srx, *srz, *sry;

std::uint16_t* pals[kMaps];
struct fb_cmap cmaps[kMaps];

int ax, ay, az;
int axi, ayi, azi;
int syi;
int dzd;
vec3 dp;
vec3 dps;
int f;
int curmap;
std::uint8_t* pix;

}  // namespace threedee_state

using namespace threedee_state;

namespace {

constexpr int kRow = 640;
constexpr struct timeval kFrametime = {0, 20000};

// The model blocks are little-endian and unaligned: read them byte by byte.
std::uint16_t read_u16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
std::int32_t read_s16(const std::uint8_t* p) { return std::int16_t(read_u16(p)); }

// A 32-bit product, wrapping as the box's 32-bit multiply does (the built-in data never
// gets there), and a 16.16 one shifted right on its own.
std::int32_t mul(std::int32_t a, std::int32_t b) { return std::int32_t(std::uint32_t(a) * std::uint32_t(b)); }
std::int32_t fx(std::int32_t s, std::int32_t v) { return mul(s, v) >> 16; }

// n / d for d > 0, truncating toward zero, as the frame's slopes and projections divide.
// ARM cores without a divide instruction call a library routine for it, some 50
// instructions; there a divisor below kReciprocals multiplies by its reciprocal from a
// table built when compiling instead. floor((2^32 - 1) / d) falls short of 2^32 / d by
// less than 1 / d, so the product's high word is the quotient or one less, which the
// remainder shows.
#if defined(__arm__) && !defined(__ARM_ARCH_EXT_IDIV__)
constexpr std::uint32_t kReciprocals = 16384;
constexpr auto kReciprocal = [] {
    std::array<std::uint32_t, kReciprocals> r{};
    for (std::uint32_t d = 1; d < kReciprocals; d++) r[d] = 0xffffffffu / d;
    return r;
}();

inline std::int32_t divide(std::int32_t n, std::int32_t d) {
    if (std::uint32_t(d) >= kReciprocals) return n / d;
    const std::uint32_t a = n < 0 ? 0u - std::uint32_t(n) : std::uint32_t(n);
    std::uint32_t q = std::uint32_t(std::uint64_t(a) * kReciprocal[std::size_t(d)] >> 32);
    if (a - q * std::uint32_t(d) >= std::uint32_t(d)) q++;
    return std::int32_t(n < 0 ? 0u - q : q);
}
#else
inline std::int32_t divide(std::int32_t n, std::int32_t d) { return n / d; }
#endif

std::int32_t sine(int a) { return sinetable[a & 0x3fff]; }
std::int32_t cosine(int a) { return sinetable[(a + 4096) & 0x3fff]; }

template <typename T>
T* allocate(int n) {
    return static_cast<T*>(std::malloc(sizeof(T) * std::size_t(n)));
}

void load_model(int m) {
    const std::uint8_t* p = starts[m];
    int v = read_u16(p);
    int n = read_u16(p + 2);
    numvert[m] = v;
    numface[m] = n;
    maxv = std::max(maxv, v);
    maxf = std::max(maxf, n);
    vertices[m] = allocate<vec3>(v);
    if (vertices[m] == nullptr) std::exit(kExitNoMemory);
    faces[m] = allocate<tri>(n);
    if (faces[m] == nullptr) std::exit(kExitNoMemory);

    const std::uint8_t* rec = p + 4;
    for (int k = 0; k < v; k++, rec += 6) vertices[m][k] = {read_s16(rec), read_s16(rec + 2), read_s16(rec + 4)};
    ac3_process();
    for (int k = 0; k < n; k++, rec += 6) faces[m][k] = {read_u16(rec), read_u16(rec + 2), read_u16(rec + 4), kUnloaded};
    ac3_process();
}

// Map i has the hue of its bits (4 red, 2 green, 1 blue) as a brightness ramp in
// entries 0..239; entries 240..255 are the stars' dark-blue-to-white ramp in all maps.
void fill_map(int i) {
    std::uint16_t* red = pals[i];
    std::uint16_t* green = pals[i] + 256;
    std::uint16_t* blue = pals[i] + 512;
    for (int k = 0; k < 240; k++) {
        auto level = std::uint16_t(273 * k);
        red[k] = (i & 4) ? level : 0;
        green[k] = (i & 2) ? level : 0;
        blue[k] = (i & 1) ? level : 0;
    }
    for (int n = 0; n < 16; n++) {
        auto rg = std::uint16_t(n >= 10 ? 8192 * (n - 9) : 0);
        red[240 + n] = rg;
        green[240 + n] = rg;
        blue[240 + n] = std::uint16_t(4096 * n);
    }
}

// Draw order: farthest first. Equal keys are put in a fixed order of their corners, so
// the face arrays come out the same whatever the input order (and no frame allocates).
struct DrawOrder {
    bool operator()(const tri& p, const tri& q) const {
        int d = comparefaces(&p, &q);
        if (d != 0) return d < 0;
        if (p.a != q.a) return p.a < q.a;
        if (p.b != q.b) return p.b < q.b;
        return p.c < q.c;
    }
};

// The other half of the sort's ping-pong, as large as drawfaces.
tri* sortspace;

// Sorts the draw list into DrawOrder: a radix sort on the distance behind the farthest
// key, one pass per byte that the keys' spread needs (two for any model in view), then
// an insertion pass that finds each run of equal keys already in place and puts it in
// the order of its corners.
void sort_faces(tri* list, int n) {
    if (n < 2) return;
    std::int32_t farthest = list[0].depth, nearest = list[0].depth;
    for (int k = 1; k < n; k++) {
        farthest = std::max(farthest, list[k].depth);
        nearest = std::min(nearest, list[k].depth);
    }
    const std::uint32_t spread = std::uint32_t(farthest) - std::uint32_t(nearest);
    tri* from = list;
    tri* to = sortspace;
    for (int shift = 0; shift < 32 && (spread >> shift) != 0; shift += 8) {
        int place[256] = {};
        for (int k = 0; k < n; k++) place[((std::uint32_t(farthest) - std::uint32_t(from[k].depth)) >> shift) & 255]++;
        for (int d = 0, sum = 0; d < 256; d++) {
            const int c = place[d];
            place[d] = sum;
            sum += c;
        }
        for (int k = 0; k < n; k++) to[place[((std::uint32_t(farthest) - std::uint32_t(from[k].depth)) >> shift) & 255]++] = from[k];
        std::swap(from, to);
    }
    if (from != list) std::memcpy(list, from, sizeof(tri) * std::size_t(n));
    for (int k = 1; k < n; k++) {
        if (list[k].depth != list[k - 1].depth) continue;
        const tri t = list[k];
        int i = k;
        for (; i > 0 && DrawOrder()(t, list[i - 1]); i--) list[i] = list[i - 1];
        list[i] = t;
    }
}

// Back-face test: the z of the view-space normal, with a margin of 14999.
bool faces_viewer(const vec3& a, const vec3& b, const vec3& c) {
    return mul(b.x - a.x, c.y - a.y) - mul(b.y - a.y, c.x - a.x) <= 14999;
}

// The edge vectors and the whole normal of the last face tested.
void keep_last_test(const vec3& a, const vec3& b, const vec3& c) {
    s1 = {b.x - a.x, b.y - a.y, b.z - a.z};
    s2 = {c.x - a.x, c.y - a.y, c.z - a.z};
    cp = {mul(s1.y, s2.z) - mul(s1.z, s2.y), mul(s1.z, s2.x) - mul(s1.x, s2.z), mul(s1.x, s2.y) - mul(s1.y, s2.x)};
}

// The trails halve every palette index of the page, a frame without them sets the page
// to 0. The page comes as an argument: through the module's own pointer every store
// could change the pointer. A 32-bit word at a time (and the C library's fill) on every
// CPU; with a vector unit 16 bytes at once, as the frame paths choose (frame_paths.h).
// Ranges start and end on 4-byte boundaries.
inline void halve_word(std::uint8_t* p) {
    std::uint32_t word;
    std::memcpy(&word, __builtin_assume_aligned(p, 4), 4);
    word = (word >> 1) & 0x7f7f7f7fu;
    std::memcpy(__builtin_assume_aligned(p, 4), &word, 4);
}

// Eight words a pass while there are eight, then one at a time.
void halve_words(std::uint8_t* from, std::uint8_t* to) {
    std::uint8_t* p = from;
    for (; to - p >= 32; p += 32) {
        halve_word(p);
        halve_word(p + 4);
        halve_word(p + 8);
        halve_word(p + 12);
        halve_word(p + 16);
        halve_word(p + 20);
        halve_word(p + 24);
        halve_word(p + 28);
    }
    for (; p != to; p += 4) halve_word(p);
}

void clear_bytes(std::uint8_t* from, std::uint8_t* to) { std::memset(from, 0, std::size_t(to - from)); }

// A way through bytes from `from` up to `to`.
using Bytewise = void (*)(std::uint8_t* from, std::uint8_t* to);

// The vector unit's ways go from the first 16-byte boundary through whole passes of
// kVectorPass bytes; the bytes before and after go the portable way.
#if defined(__SSE2__)
constexpr int kVectorPass = 128;
bool vectors_on() { return frame_paths::current() == frame_paths::Path::sse2; }

void halve_vectors(std::uint8_t* from, std::uint8_t* to) {
    const __m128i low7 = _mm_set1_epi8(0x7f);
    for (; from != to; from += 128) {
        auto* p = reinterpret_cast<__m128i*>(from);
        for (int k = 0; k < 8; k++) _mm_store_si128(p + k, _mm_and_si128(_mm_srli_epi16(_mm_load_si128(p + k), 1), low7));
    }
}

void clear_vectors(std::uint8_t* from, std::uint8_t* to) {
    const __m128i zero = _mm_setzero_si128();
    for (; from != to; from += 128) {
        auto* p = reinterpret_cast<__m128i*>(from);
        for (int k = 0; k < 8; k++) _mm_store_si128(p + k, zero);
    }
}
#elif defined(DEMO_FRAME_VECTORS)
constexpr int kVectorPass = 64;
bool vectors_on() { return frame_paths::current() != frame_paths::Path::words; }
constexpr Bytewise halve_vectors = frame_vectors::halve;
// The C library clears faster than the units' stores: PowerPC's whole cache lines at
// once (dcbz), ARM's with multiple stores and no split of a row into three calls;
// MIPS's DSP extension has no wider stores than the C library's.
constexpr Bytewise clear_vectors = clear_bytes;
#endif

#if !defined(__SSE2__) && !defined(DEMO_FRAME_VECTORS)
constexpr int kVectorPass = 16;
bool vectors_on() { return false; }
constexpr Bytewise halve_vectors = nullptr, clear_vectors = nullptr;
#endif

// The vector unit's way where the frame code goes that way now and it differs from the
// portable one; else none.
Bytewise wide_way(Bytewise portable, Bytewise vectors) {
    return vectors_on() && vectors != portable ? vectors : nullptr;
}

void through(std::uint8_t* from, std::uint8_t* to, Bytewise portable, Bytewise wide) {
    if (wide) {
        std::uint8_t* first = std::min(to, from + (-reinterpret_cast<std::uintptr_t>(from) & 15));
        std::uint8_t* last = first + (to - first) / kVectorPass * kVectorPass;
        portable(from, first);
        wide(first, last);
        portable(last, to);
        return;
    }
    portable(from, to);
}

// What may still be on a page: the bounding box of what each of its last eight frames
// drew, and the stars plotted on it since it was last cleared. A palette index halved
// eight times is 0, so every byte outside those boxes is 0 already and the trails
// halve only their union; a page without trails is cleared over that union and where
// its stars are. Stars go anywhere: halved with the page, they count as drawn all
// over. What the section found on the page when it began counts as drawn all over.
struct Area {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // columns x0 .. x1 - 1 of rows y0 .. y1 - 1
    bool empty() const { return x0 >= x1; }
    void add(const Area& a) {
        if (a.empty()) return;
        *this = empty() ? a : Area{std::min(x0, a.x0), std::min(y0, a.y0), std::max(x1, a.x1), std::max(y1, a.y1)};
    }
};
constexpr Area kWholePage = {0, 0, kRow, 480};

class PageHistory {
public:
    PageHistory() { std::fill(std::begin(drawn_), std::end(drawn_), kWholePage); }
    // What the last eight frames' drawing may have left, stars apart.
    Area held() const {
        Area a;
        for (const Area& d : drawn_) a.add(d);
        return a;
    }
    // Where stars are: each byte's offset in the page.
    const int* stars() const { return stars_; }
    int star_count() const { return star_count_; }
    // The page is all 0.
    void cleared() {
        std::fill(std::begin(drawn_), std::end(drawn_), Area{});
        star_count_ = 0;
    }
    void drew(const Area& a) { drawn_[frames_++ % kTrailFrames] = a; }
    // Plots the stars onto the page just cleared and keeps where they went.
    void plot_stars_on(std::uint8_t* page) { star_count_ = plot_stars(page, stars_); }

private:
    static constexpr int kTrailFrames = 8;
    Area drawn_[kTrailFrames];
    int frames_ = 0;
    int stars_[kStars];
    int star_count_ = 0;
};
PageHistory histories[4];

// Goes the given ways through the bytes of a page in area a, each row from and to
// 4-byte boundaries.
void over_area(std::uint8_t* page, const Area& a, Bytewise portable, Bytewise vectors) {
    if (a.empty()) return;
    const int x0 = a.x0 & ~3, x1 = (a.x1 + 3) & ~3;
    const Bytewise wide = wide_way(portable, vectors);
    if (x1 - x0 == kRow) {
        through(page + a.y0 * kRow, page + a.y1 * kRow, portable, wide);
        return;
    }
    for (std::uint8_t* row = page + a.y0 * kRow; row != page + a.y1 * kRow; row += kRow)
        through(row + x0, row + x1, portable, wide);
}

// Sets to 0 what the page may hold.
void clear_held(std::uint8_t* page, PageHistory& history) {
    over_area(page, history.held(), clear_bytes, clear_vectors);
    for (int i = 0; i < history.star_count(); i++) page[history.stars()[i]] = 0;
    history.cleared();
}

// A span's colour in every byte of a register: 64 bits where the CPU has them, 32 on a
// 32-bit CPU, which would otherwise carry it in two registers through the span loops.
using Colours = std::uintptr_t;

inline void fill8(std::uint8_t* p, Colours colours) {
    std::memcpy(p, &colours, sizeof colours);
    if constexpr (sizeof colours == 4) std::memcpy(p + 4, &colours, 4);
}

// Fills `more` + 1 bytes from p on with the byte that fills every byte of colours.
// Most spans of a model are a few bytes long: up to three bytes take three byte
// stores, which overlap where the span is shorter; up to eight two overlapping stores
// of 32 bits; longer ones eight bytes at a time, the last eight overlapping the ones
// before.
inline void fill_run(std::uint8_t* p, int more, Colours colours) {
    if (more < 3) {
        const auto c = std::uint8_t(colours);
        p[0] = c;
        p[more >> 1] = c;
        p[more] = c;
    } else if (more < 7) {
        const auto c = std::uint32_t(colours);
        std::memcpy(p, &c, 4);
        std::memcpy(p + more - 3, &c, 4);
    } else {
        std::uint8_t* last = p + more - 7;
        for (; p < last; p += 8) fill8(p, colours);
        fill8(last, colours);
    }
}

// Fills row[x1..x2], both included, in either order.
inline void fill_span(std::uint8_t* row, int x1, int x2, Colours colours) {
    fill_run(row + std::min(x1, x2), std::max(x1, x2) - std::min(x1, x2), colours);
}

inline Colours colour_bytes(int colour) { return std::uint8_t(colour) * Colours(0x0101010101010101u); }

// fill_triangle, built into the frame's face loop.
[[gnu::always_inline]] inline void triangle(int x1, int y1, int x2, int y2, int x3, int y3, int colour) {
    // Triangles are not clipped: one with a corner off the page (or behind the eye,
    // which projects far off it) is left out whole, so no span ever leaves the page.
    // Every span lies between its triangle's corners, so on-page corners suffice.
    auto on_page = [](int x, int y) { return x >= 0 && x < kRow && y >= 0 && y < 480; };
    if (!on_page(x1, y1) || !on_page(x2, y2) || !on_page(x3, y3)) return;

    if (y1 > y2) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    if (y2 > y3) {
        std::swap(x2, x3);
        std::swap(y2, y3);
    }
    if (y1 > y2) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    const int xt = x1, yt = y1, xm = x2, ym = y2, xb = x3, yb = y3;

    const int upper = ym > yt ? divide((xm << 16) - (xt << 16), ym - yt) : 0;
    const int lng = yb > yt ? divide((xb << 16) - (xt << 16), yb - yt) : 0;
    const int lower = yb > ym ? divide((xb << 16) - (xm << 16), yb - ym) : 0;

    const Colours colours = colour_bytes(colour);
    std::uint8_t* row = pix + yt * kRow;
    // Upper part: both edges leave the top corner, so the one with the smaller step a row
    // stays left of the other on every row (their distance grows by the same amount).
    const int dleft = std::min(lng, upper), dright = std::max(lng, upper);
    for (int y = yt, left = xt << 16, right = xt << 16; y <= ym; y++, row += kRow) {
        fill_run(row + (left >> 16), (right >> 16) - (left >> 16), colours);
        left += dleft;
        right += dright;
    }
    // Lower part: the long edge carries on, the short edge starts again exactly at the
    // middle corner; these two may cross.
    int l = (xt << 16) + (ym - yt + 1) * lng;
    int s = xm << 16;
    for (int y = ym + 1; y <= yb; y++, row += kRow) {
        fill_span(row, l >> 16, s >> 16, colours);
        l += lng;
        s += lower;
    }
}

// The model's points on the screen in this frame: each point projected once, however
// many faces share it.
struct spot {
    std::int32_t x, y;
};
spot* screen;

void project_points(const vec3* view, spot* out, int n) {
    for (int i = 0; i < n; i++) out[i] = {project(view[i].x, view[i].z) + 320, project(view[i].y, view[i].z) + 240};
}

Area points_on_page(const spot* points, int n) {
    Area a;
    for (int i = 0; i < n; i++) {
        const spot p = points[i];
        if (p.x >= 0 && p.x < kRow && p.y >= 0 && p.y < 480) a.add({p.x, p.y, p.x + 1, p.y + 1});
    }
    return a;
}

void draw_face(const tri& t, int colour) {
    const spot a = screen[t.a], b = screen[t.b], c = screen[t.c];
    triangle(a.x, a.y, b.x, b.y, c.x, c.y, colour);
}

void next_colour() {
    int n = std::rand() % 5 + 1;
    if (n >= curmap) n = n + 1;
    init_fadein(&cmaps[curmap], &cmaps[n], 128);
    curmap = n;
}

}  // namespace

namespace threedee_state {

void scene_transform(const vec3* in, vec3* r1, vec3* r2, vec3* r3, int n, const vec3& o) {
    const std::int32_t sx = sine(ax), cx = cosine(ax);
    const std::int32_t sz = sine(az), cz = cosine(az);
    const std::int32_t sy = sine(ay), cy = cosine(ay);
    for (int i = 0; i < n; i++) {
        const vec3 p = in[i];
        const vec3 q1 = {p.x, fx(cx, p.y) - fx(sx, p.z), fx(cx, p.z) + fx(sx, p.y)};
        r1[i] = q1;
        const vec3 q2 = {fx(cz, q1.x) - fx(sz, q1.y), fx(cz, q1.y) + fx(sz, q1.x), q1.z};
        r2[i] = q2;
        r3[i] = {fx(cy, q2.x) - fx(sy, q2.z) + o.x, q2.y + o.y, fx(cy, q2.z) + fx(sy, q2.x) + o.z};
    }
}

int face_colour(std::int32_t depth) {
    int colour = 240 - (depth - 10000) / 48;
    if (colour >= 239) colour = 239;
    return colour > 0 ? colour : 0;
}

std::int32_t project(std::int32_t c, std::int32_t z) {
    if (z <= 0) return INT32_MIN;
    return divide(std::int32_t(std::uint32_t(c) << 8), z);
}

void transform_stars() { scene_transform(stars, srx, srz, sry, kStars, dps); }

int plot_stars(std::uint8_t* page, int* plotted) {
    int count = 0;
    for (int i = 0; i < kStars; i++) {
        const vec3& s = sry[i];
        if (s.z >= 1 && s.z <= 16383) {
            int y = project(s.y, s.z) + 240;
            int x = project(s.x, s.z) + 320;
            // Column 0, column 639 and row 0 stay free; stars only fill empty bytes.
            if (x >= 1 && x <= 638 && y >= 1 && y <= 479) {
                std::uint8_t& byte = page[y * kRow + x];
                // Nearer is brighter; z >> 10 is 0..15 here, so this is 240..255.
                if (byte == 0) {
                    byte = std::uint8_t(255 - (s.z >> 10));
                    if (plotted) plotted[count] = y * kRow + x;
                    count++;
                }
            }
        }
        int drifted = stars[i].y + syi;
        if (drifted >= 8192) drifted -= 16384;
        stars[i].y = drifted;
    }
    return count;
}

void advance_angles() {
    ay += ayi;
    az += azi;
    ax += axi;
}

void show_page() {
    vinfo.yoffset = std::uint32_t(f * 480);
    box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo);
    f = (f + 1) & 3;
}

struct timeval frame_deadline() {
    struct timeval t;
    box::gettimeofday(&t);
    t.tv_sec += kFrametime.tv_sec;
    t.tv_usec += kFrametime.tv_usec;
    if (t.tv_usec > 999999) {
        t.tv_sec += 1;
        t.tv_usec -= 1000000;
    }
    return t;
}

void wait_until(const struct timeval& deadline) {
    struct timeval now;
    do {
        ac3_process();
        box::gettimeofday(&now);
    } while (now.tv_sec < deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_usec < deadline.tv_usec));
}

}  // namespace threedee_state

int threedee_init() {
    for (int i = 0; i < kMaps; i++) {
        pals[i] = allocate<std::uint16_t>(768);
        if (pals[i] == nullptr) std::exit(kExitNoMemory);
        cmaps[i] = {0, 256, pals[i], pals[i] + 256, pals[i] + 512, nullptr};
    }
    ac3_process();
    for (int m = 0; m < kModels; m++) load_model(m);
    for (int i = 0; i < kMaps; i++) fill_map(i);
    ac3_process();

    syi = 100;
    azi = 52;
    dzd = 250;
    ayi = 60;
    axi = 36;

    rx = allocate<vec3>(maxv);
    rz = allocate<vec3>(maxv);
    ry = allocate<vec3>(maxv);
    drawfaces = allocate<tri>(maxf);
    sortspace = allocate<tri>(maxf);
    screen = allocate<spot>(maxv);
    stars = allocate<vec3>(kStars);
    srx = allocate<vec3>(kStars);
    srz = allocate<vec3>(kStars);
    sry = allocate<vec3>(kStars);
    if (!rx || !rz || !ry || !drawfaces || !sortspace || !screen || !stars || !srx || !srz || !sry) std::exit(kExitNoMemory);

    for (int s = 0; s < kStars; s++) {
        // Three separate statements: x, y and z take successive values in this order.
        stars[s].x = (std::rand() & 0x3fff) - 8192;
        stars[s].y = (std::rand() & 0x3fff) - 8192;
        stars[s].z = (std::rand() & 0x3fff) - 8192;
    }
    dp = {0, 0, 15000};
    dps = {0, 0, 5000};
    return 0;
}

void light_threedee_init() {
    // The pages hold what came before the section.
    for (PageHistory& history : histories) history = PageHistory();
    box::ioctl(fbfd, FBIOPUTCMAP, &cmaps[1]);
    vinfo.yoffset = 1440;
    box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo);
    curmap = 2 + std::rand() % 5;
    init_fadein(&cmaps[1], &cmaps[curmap], 256);
}

int threedee_deinit() {
    dp.z = 100000;
    threedee_frame(0, 0, 1, 0);
    std::free(screen);
    std::free(sortspace);
    std::free(drawfaces);
    std::free(ry);
    std::free(rz);
    std::free(rx);
    for (int m = kModels - 1; m >= 0; m--) {
        std::free(faces[m]);
        std::free(vertices[m]);
    }
    for (int i = kMaps - 1; i >= 0; i--) std::free(pals[i]);
    return 0;
}

void threedee_frame(int allfaces, int trails, int withstars, int model) {
    const bool all = (allfaces & 0xff) != 0;
    const bool trail = (trails & 0xff) != 0;
    const bool starfield = (withstars & 0xff) != 0;

    const struct timeval deadline = frame_deadline();
    pix = scrn + f * kPageBytes;
    if (starfield) transform_stars();
    scene_transform(vertices[model], rx, rz, ry, numvert[model], dp);

    // The draw list: all faces of the model in place, or those facing the viewer.
    tri* list;
    int count = 0;
    // Work through locals: a store into the list could otherwise change ry or the count.
    const vec3* const view = ry;
    const int faces_in_model = numface[model];
    if (all) {
        list = faces[model];
        count = faces_in_model;
        for (int k = 0; k < count; k++) list[k].depth = view[list[k].a].z + view[list[k].b].z + view[list[k].c].z;
    } else {
        list = drawfaces;
        const tri* t = faces[model];
        for (int k = 0; k < faces_in_model; k++, t++) {
            const vec3& a = view[t->a];
            const vec3& b = view[t->b];
            const vec3& c = view[t->c];
            if (faces_viewer(a, b, c)) list[count++] = {t->a, t->b, t->c, a.z + b.z + c.z};
        }
        if (faces_in_model > 0) keep_last_test(view[t[-1].a], view[t[-1].b], view[t[-1].c]);
    }
    sort_faces(list, count);

    PageHistory& history = histories[f];
    if (trail) {
        // Stars plotted since the page was last cleared may be anywhere.
        over_area(pix, history.star_count() > 0 ? kWholePage : history.held(), halve_words, halve_vectors);
    } else {
        clear_held(pix, history);
    }

    project_points(view, screen, numvert[model]);
    for (int k = 0; k < count; k++) {
        int colour = face_colour(list[k].depth);
        if (colour > 0) draw_face(list[k], colour);
    }
    // A face is drawn only where all its corners are on the page, so the points on the
    // page bound what the faces drew.
    if (starfield && trail) {
        plot_stars(pix);
        history.drew(kWholePage);
    } else {
        if (starfield) history.plot_stars_on(pix);
        history.drew(points_on_page(screen, numvert[model]));
    }

    advance_angles();
    if (dp.z > 5000) dp.z -= dzd;
    if (fade_step() != 0) next_colour();
    show_page();
    wait_until(deadline);
}

void fill_triangle(int x1, int y1, int x2, int y2, int x3, int y3, int colour) {
    triangle(x1, y1, x2, y2, x3, y3, colour);
}

void horizline(int x1, int x2, int y, int colour) { fill_span(pix + y * kRow, x1, x2, colour_bytes(colour)); }

int comparefaces(const void* a, const void* b) {
    // b.depth - a.depth, held to the int range: keys far apart (a face never keyed has
    // the smallest int) still compare the right way round instead of overflowing.
    const long long d = static_cast<long long>(static_cast<const tri*>(b)->depth) - static_cast<const tri*>(a)->depth;
    return int(std::clamp<long long>(d, INT_MIN, INT_MAX));
}
