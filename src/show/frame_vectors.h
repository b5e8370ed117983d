// The frame code's loops for a vector unit: 16 bytes at a time with NEON on ARM and
// AltiVec on PowerPC (frame_vectors.cpp), four with MIPS's DSP extension
// (frame_dsp.cpp). In a file of their own that only these CPUs' builds compile, with
// the unit's instructions allowed there alone: the rest of the program runs on cores
// without one. Called only where frame_paths says the CPU has the unit.
#pragma once

#include <cstdint>

namespace frame_vectors {

// Halves every byte from `from` up to `to`: both on 16-byte boundaries, 64 bytes apart
// or a multiple of that.
void halve(std::uint8_t* from, std::uint8_t* to);

// The bytes a pass of zoom_row draws, and the boundary it starts on: the unit's width.
#if defined(__mips__)
constexpr int kZoomBytes = 4;
#else
constexpr int kZoomBytes = 16;
#endif

// `passes` times kZoomBytes bytes of a zoomer row from out on (a boundary of that many
// bytes): samples, each the logo index at (s >> 24, t >> 24) filling two pixels, or
// where it is 0 the old pixels halved; s and t advance by du and dv a sample.
void zoom_row(std::uint8_t* out, const std::uint8_t* logo, std::uint32_t s, std::uint32_t t, std::uint32_t du,
              std::uint32_t dv, int passes);

}  // namespace frame_vectors
