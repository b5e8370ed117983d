// The screen as a video frame's pixels: each box pixel as a scale x scale block
// (nearest neighbour), its colour looked up once per picture from the colour map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "play/screen.h"

namespace play {

// An image plane to fill: rows of bytes, stride bytes apart.
struct Plane {
    std::uint8_t* data;
    std::ptrdiff_t stride;
};

// What changed on the screen, in chunks of kChunk box pixels: bit k of a row's word
// for the pixels k * kChunk to k * kChunk + kChunk - 1 of that row.
constexpr unsigned kChunk = 16, kChunks = Screen::kWidth / kChunk;
static_assert(Screen::kWidth % kChunk == 0 && kChunks <= 64 && kChunk % 2 == 0);
using BoxChanges = std::array<std::uint64_t, Screen::kHeight>;
constexpr std::uint64_t kEveryChunk = (std::uint64_t(1) << kChunks) - 1;

// The chunks of after that differ from before, all of them when there is no before or
// the colour maps differ: planes that hold before need only these drawn again to hold
// after.
BoxChanges changes(const Screen* before, const Screen& after);

// Into 4:2:0 Y, U and V planes of (640 x scale) x (480 x scale) pixels, with the usual
// standard-definition matrix (BT.601, limited range). A chroma sample is the mean of
// its four pixels': with an even scale those are one box pixel, so every colour keeps
// its own chroma exactly. Only what shows the chunks in `changes` is drawn; the rest
// of the planes is left as it was.
void to_yuv420(const Screen& screen, unsigned scale, Plane y, Plane u, Plane v, const BoxChanges& changes);

// Into one plane of 4 bytes a pixel: blue, green, red, 0 (the colours exactly), only
// what shows the chunks in `changes`.
void to_bgr0(const Screen& screen, unsigned scale, Plane bgr0, const BoxChanges& changes);

}  // namespace play
