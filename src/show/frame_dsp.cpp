// The frame code's loops for MIPS's DSP extension (frame_vectors.h), four bytes at a
// time: the zoomer's word loop with indexed byte loads for the texels and the old
// pixels halved in one instruction, and the trails' halving.
#include <cstring>

#include "show/frame_vectors.h"
#include "show/zoomer_words.h"

namespace frame_vectors {

void halve(std::uint8_t* from, std::uint8_t* to) {
    auto halve_word = [](std::uint8_t* p) {
        std::uint32_t w;
        std::memcpy(&w, __builtin_assume_aligned(p, 4), 4);
        w = zoomer_words::halved(w);
        std::memcpy(__builtin_assume_aligned(p, 4), &w, 4);
    };
    for (std::uint8_t* p = from; p != to; p += 64)
        for (int k = 0; k < 64; k += 16) {
            halve_word(p + k);
            halve_word(p + k + 4);
            halve_word(p + k + 8);
            halve_word(p + k + 12);
        }
}

void zoom_row(std::uint8_t* out, const std::uint8_t* logo, std::uint32_t s, std::uint32_t t, std::uint32_t du,
              std::uint32_t dv, int passes) {
    zoomer_words::row_words(out, logo, std::uint64_t(t) << 32 | s, std::uint64_t(dv) << 32 | du, passes);
}

}  // namespace frame_vectors
