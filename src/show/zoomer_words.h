// The zoomer's portable way through a row, a 32-bit word (two samples) at a time, and
// over the logo's transparent ground a pair of words without a texel read: in a
// header of its own because MIPS's DSP build of the frame code compiles it a second time
// with the extension's instructions allowed (indexed byte loads, four bytes halved at
// once). Each file that includes it has its own copy.
#pragma once

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

// The logo's bytes: its 256 x 256 texels, then a map with a byte for each run of 8
// texels along a logo row, 1 where no texel is opaque in that run, the runs on either
// side, and the same runs 8 rows up and down (the logo repeats both ways), then a byte
// that is 1 where the map has a 1 at all. A pair of words is four samples; where a
// step is at most 4 texels across and down, the others land no more than 8 texels
// from the second, so in the area its run's byte covers: where that byte is 1, all
// four are transparent and the pair is the old pair halved, with no texel read. A logo
// without such areas is drawn without looking.
constexpr int kTexels = 256 * 256;
constexpr int kRunTexels = 8;
constexpr int kReach = 8;
constexpr int kRuns = kTexels / kRunTexels;
constexpr int kLogoBytes = kTexels + kRuns + 1;

// Whether samples one step back and two on stay within reach along d.
inline bool within_reach(std::uint32_t d) {
    constexpr std::int64_t reach = std::int64_t(kReach) << 24;
    const std::int64_t far = 2 * std::int64_t(std::int32_t(d));
    return -reach <= far && far <= reach;
}

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

// Pairs of words from out to end, from coordinates s and t on; with kPassClear, a
// pair whose second sample's run the logo's map marks is the old pair halved.
template <bool kPassClear>
void pairs(std::uint8_t*& out, const std::uint8_t* end, const std::uint8_t* logo, std::uint32_t& s,
           std::uint32_t& t, std::uint32_t du, std::uint32_t dv) {
    // In a register of its own: compilers otherwise add the texels' size to the logo
    // for every pair.
    const std::uint8_t* clear = logo + kTexels;
    asm("" : "+r"(clear));
    for (; out != end; out += 8) {
        const std::uint32_t s1 = s + du, t1 = t + dv;
        const std::uint32_t i1 = texel_index(s1, t1);
        if (kPassClear && clear[i1 / kRunTexels] != 0) {
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
    if (logo[kTexels + kRuns] != 0 && within_reach(du) && within_reach(dv))
        pairs<true>(out, end, logo, s, t, du, dv);
    else
        pairs<false>(out, end, logo, s, t, du, dv);
    if (words & 1) {
        put_word(out, logo[texel_index(s, t)], logo[texel_index(s + du, t + dv)]);
    }
}

}  // namespace
}  // namespace zoomer_words
