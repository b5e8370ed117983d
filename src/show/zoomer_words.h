// The zoomer's portable way through a row, a 32-bit word (two samples) at a time, and
// over the logo's transparent ground a pair of words without a texel read: in a
// header of its own because MIPS's DSP build of the frame code compiles it a second time
// with the extension's instructions allowed (indexed byte loads, four bytes halved at
// once). Each file that includes it has its own copy.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace zoomer_words {
namespace {

// A word holds four pixels in memory order: the left sample goes to its two
// lower-addressed bytes, the right one to the other two. In a 32-bit value those are
// the low half on a little-endian CPU and the high half on a big-endian one.
constexpr bool kLittle = std::endian::native == std::endian::little;
constexpr int kLeftShift = kLittle ? 0 : 16;
constexpr int kRightShift = kLittle ? 16 : 0;

// The four bytes of w, each halved.
inline std::uint32_t halved(std::uint32_t w) {
#if defined(__mips_dsp)
    typedef signed char quad __attribute__((vector_size(4)));
    quad q;
    std::memcpy(&q, &w, 4);
    q = __builtin_mips_shrl_qb(q, 1);
    std::memcpy(&w, &q, 4);
    return w;
#else
    return (w >> 1) & 0x7f7f7f7fu;
#endif
}

// The texel at coordinates s and t (u and v as in `coordinates`): t's in bits 8..15,
// s's in bits 0..7. Every sample of a frame pays for this, 66000 times, so where the
// compiler's choice takes an instruction more than the CPU needs it is written out:
// MIPS32r2 and PowerPC insert s's texel into the low byte in one instruction; ARM
// masks t's shifted texel in one when the mask is in a register.
inline std::uint32_t texel_index(std::uint32_t s, std::uint32_t t) {
#if defined(__mips_isa_rev) && __mips_isa_rev >= 2
    std::uint32_t index = t >> 16;
    asm("ins %0, %1, 0, 8" : "+r"(index) : "r"(s >> 24));
#elif defined(__powerpc__)
    std::uint32_t index = t >> 16 & 0xff00;
    asm("rlwimi %0, %1, 8, 24, 31" : "+r"(index) : "r"(s));
#elif defined(__arm__)
    std::uint32_t mask = 0xff00;
    asm("" : "+r"(mask));
    const std::uint32_t index = (t >> 16 & mask) | s >> 24;
#else
    const std::uint32_t index = (t >> 16 & 0xff00) | s >> 24;
#endif
    return index;
}

// The logo's bytes: its 256 x 256 texels, then maps of the same size, one for each
// reach in kReaches, each with a byte for each texel that is 1 where no texel within
// that reach across and down is opaque (the logo repeats both ways), then a byte for
// each map that is 1 where the map has a 1 at all. A pair of words is four samples;
// where two steps stay within a map's reach across and down, the others land within
// reach of the second: where its byte in that map is 1, all four are transparent and
// the pair is the old pair halved, with no texel read. A row takes the map of the
// smallest reach that serves it; a row no map serves is drawn without looking.
constexpr int kTexels = 256 * 256;
constexpr int kMaps = 4;
constexpr int kReaches[kMaps] = {2, 4, 8, 12};
constexpr int kLogoBytes = kTexels * (1 + kMaps) + kMaps;

// Map k of the logo's bytes, and the byte that says whether it has a 1.
inline std::uint8_t* clear_map(std::uint8_t* logo, int k) { return logo + kTexels * (1 + k); }
inline const std::uint8_t* clear_map(const std::uint8_t* logo, int k) { return logo + kTexels * (1 + k); }
inline std::uint8_t& map_has_clear(std::uint8_t* logo, int k) { return logo[kTexels * (1 + kMaps) + k]; }
inline std::uint8_t map_has_clear(const std::uint8_t* logo, int k) { return logo[kTexels * (1 + kMaps) + k]; }

// How far a step along d goes either way, in the coordinates' units (a texel is
// 1 << 24): d is a step modulo the logo's size, which is all a texel depends on.
inline std::uint32_t stride(std::uint32_t d) { return std::int32_t(d) < 0 ? 0u - d : d; }

// One word: samples p and q each fill two pixels, p the two lower-addressed ones.
// Where a sample is transparent the page's old pixels show through, halved: only then
// is the word read back. The three cases apart: both samples opaque, both transparent
// (most of a logo with a transparent ground), one of each.
inline void put_word(std::uint8_t* out, std::uint32_t p, std::uint32_t q) {
    std::uint32_t w = (p << kLeftShift | q << kRightShift) * 0x0101u;
    if (w == 0) {
        std::memcpy(&w, out, 4);
        w = halved(w);
    } else if (p == 0 || q == 0) {
        // Bit 15 of a half of w is set when the half is 0 (a half that is not 0 keeps
        // it after the subtraction, one that is loses it); moved down and multiplied
        // it keeps that half's halved old pixels.
        const std::uint32_t transparent = ~((w | 0x80008000u) - 0x00010001u) & 0x80008000u;
        std::uint32_t old;
        std::memcpy(&old, out, 4);
        w |= halved(old) & (transparent >> 15) * 0x7f7fu;
    }
    std::memcpy(out, &w, 4);
}

// Pairs of words from out to end, from coordinates s and t on; with kLook, a pair is
// the old pair halved where `clear` has a 1 for its second sample.
template <bool kLook>
void pairs(std::uint8_t*& out, const std::uint8_t* end, const std::uint8_t* logo, const std::uint8_t* clear,
           std::uint32_t& s, std::uint32_t& t, std::uint32_t du, std::uint32_t dv) {
    for (; out != end; out += 8) {
        const std::uint32_t s1 = s + du, t1 = t + dv;
        const std::uint32_t i1 = texel_index(s1, t1);
        if (kLook && clear[i1] != 0) {
            put_word(out, 0, 0);
            put_word(out + 4, 0, 0);
            s = s1 + 3 * du;
            t = t1 + 3 * dv;
            continue;
        }
        const std::uint32_t s2 = s1 + du, t2 = t1 + dv, s3 = s2 + du, t3 = t2 + dv;
        put_word(out, logo[texel_index(s, t)], logo[i1]);
        put_word(out + 4, logo[texel_index(s2, t2)], logo[texel_index(s3, t3)]);
        s = s3 + du;
        t = t3 + dv;
    }
}

// Draws `words` words of a row from coordinates st on, a word at a time, each
// coordinate in a 32-bit half of its own, with the logo's bytes as above. out is
// 4-byte aligned, as every page is, so words are single accesses on CPUs that trap or
// split unaligned ones.
void row_words(std::uint8_t* out, const std::uint8_t* logo, std::uint64_t st, std::uint64_t step, int words) {
    out = static_cast<std::uint8_t*>(__builtin_assume_aligned(out, 4));
    std::uint32_t s = std::uint32_t(st), t = std::uint32_t(st >> 32);
    const std::uint32_t du = std::uint32_t(step), dv = std::uint32_t(step >> 32);
    const std::uint8_t* end = out + 4 * (words & ~1);
    // The map of the smallest reach that two steps stay within.
    const std::uint8_t* clear = nullptr;
    const std::uint32_t step_stride = std::max(stride(du), stride(dv));
    for (int k = 0; k < kMaps && clear == nullptr; k++)
        if (step_stride <= std::uint32_t(kReaches[k]) << 23 && map_has_clear(logo, k) != 0) clear = clear_map(logo, k);
    if (clear != nullptr)
        pairs<true>(out, end, logo, clear, s, t, du, dv);
    else
        pairs<false>(out, end, logo, clear, s, t, du, dv);
    if (words & 1) {
        put_word(out, logo[texel_index(s, t)], logo[texel_index(s + du, t + dv)]);
    }
}

}  // namespace
}  // namespace zoomer_words
