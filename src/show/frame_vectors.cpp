#include "show/frame_vectors.h"

#include <cstring>

namespace frame_vectors {

namespace {

// The compiler's own vectors: the same source for NEON and AltiVec. Element 0 is the
// lowest-addressed on both byte orders.
typedef std::uint8_t bytes16 __attribute__((vector_size(16)));
typedef std::uint16_t halves8 __attribute__((vector_size(16)));
typedef std::uint32_t words4 __attribute__((vector_size(16)));

inline bytes16 load(const std::uint8_t* p) {
    bytes16 v;
    std::memcpy(&v, __builtin_assume_aligned(p, 16), 16);
    return v;
}

inline void store(std::uint8_t* p, bytes16 v) { std::memcpy(__builtin_assume_aligned(p, 16), &v, 16); }

inline words4 texel_indices(words4 s, words4 t) { return (t >> 16 & 0xff00) | s >> 24; }

}  // namespace

void halve(std::uint8_t* from, std::uint8_t* to) {
    for (std::uint8_t* p = from; p != to; p += 64) {
        store(p, load(p) >> 1);
        store(p + 16, load(p + 16) >> 1);
        store(p + 32, load(p + 32) >> 1);
        store(p + 48, load(p + 48) >> 1);
    }
}

void zoom_row(std::uint8_t* out, const std::uint8_t* logo, std::uint32_t s, std::uint32_t t, std::uint32_t du,
              std::uint32_t dv, int passes) {
    words4 s0 = {s, s + du, s + 2 * du, s + 3 * du};
    words4 t0 = {t, t + dv, t + 2 * dv, t + 3 * dv};
    words4 s4 = s0 + 4 * du, t4 = t0 + 4 * dv;
    const std::uint32_t ds = 8 * du, dt = 8 * dv;
    for (int pass = 0; pass < passes; pass++, out += 16) {
        const words4 i0 = texel_indices(s0, t0), i4 = texel_indices(s4, t4);
        s0 += ds;
        t0 += dt;
        s4 += ds;
        t4 += dt;
        const halves8 samples = {logo[i0[0]], logo[i0[1]], logo[i0[2]], logo[i0[3]],
                                 logo[i4[0]], logo[i4[1]], logo[i4[2]], logo[i4[3]]};
        // Each sample in both bytes of its half: the same on either byte order.
        const bytes16 pairs = reinterpret_cast<bytes16>(samples | samples << 8);
        const bytes16 keep = reinterpret_cast<bytes16>(pairs == 0);
        store(out, ((load(out) >> 1) & keep) | pairs);
    }
}

}  // namespace frame_vectors
