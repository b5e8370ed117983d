// The frame code's loops for a vector unit of 16 bytes (NEON on ARM, AltiVec on
// PowerPC), in a file of their own that only these CPUs' builds compile, with the
// unit's instructions allowed there alone: the rest of the program runs on cores
// without one. Called only where frame_paths says the CPU has the unit.
#pragma once

#include <cstdint>

namespace frame_vectors {

// Halves every byte from `from` up to `to`: both on 16-byte boundaries, 64 bytes apart
// or a multiple of that.
void halve(std::uint8_t* from, std::uint8_t* to);
#if defined(__arm__)
// Sets every byte from `from` up to `to` to 0; the same boundaries. (PowerPC's C
// library does this faster with its cache-line zeroing.)
void clear(std::uint8_t* from, std::uint8_t* to);
#endif

// `passes` times 16 bytes of a zoomer row from out on (a 16-byte boundary): eight
// samples, each the logo index at (s >> 24, t >> 24) filling two pixels, or where it
// is 0 the old pixels halved; s and t advance by du and dv a sample.
void zoom_row(std::uint8_t* out, const std::uint8_t* logo, std::uint32_t s, std::uint32_t t, std::uint32_t du,
              std::uint32_t dv, int passes);

}  // namespace frame_vectors
