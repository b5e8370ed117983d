// The zoomer's portable way through a row, a 32-bit word (two samples) at a time: in a
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

// The logo index at coordinates s and t (u and v as in `coordinates`): t's texel in
// bits 8..15, s's in bits 0..7. Every sample of a frame pays for this, 66000 times, so
// where the compiler's choice takes an instruction more than the CPU needs it is written
// out: MIPS32r2 and PowerPC insert s's texel into the low byte in one instruction; ARM
// masks t's shifted texel in one when the mask is in a register.
inline std::uint32_t texel(const std::uint8_t* logo, std::uint32_t s, std::uint32_t t) {
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
    return logo[index];
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

// Draws `words` words of a row from coordinates st on, a word at a time, each
// coordinate in a 32-bit half of its own. out is 4-byte aligned, as every
// page is, so words are single accesses on CPUs that trap or split unaligned ones.
void row_words(std::uint8_t* out, const std::uint8_t* logo, std::uint64_t st, std::uint64_t step, int words) {
    out = static_cast<std::uint8_t*>(__builtin_assume_aligned(out, 4));
    std::uint32_t s = std::uint32_t(st), t = std::uint32_t(st >> 32);
    const std::uint32_t du = std::uint32_t(step), dv = std::uint32_t(step >> 32);
    auto next = [&] {
        const std::uint32_t index = texel(logo, s, t);
        s += du;
        t += dv;
        return index;
    };
    for (const std::uint8_t* end = out + 4 * (words & ~1); out != end; out += 8) {
        const std::uint32_t p0 = next(), q0 = next(), p1 = next(), q1 = next();
        put_word(out, p0, q0);
        put_word(out + 4, p1, q1);
    }
    if (words & 1) {
        const std::uint32_t p = next(), q = next();
        put_word(out, p, q);
    }
}

}  // namespace
}  // namespace zoomer_words
