// The screen as a video frame's pixels: each box pixel as a scale x scale block
// (nearest neighbour), its colour looked up once per picture from the colour map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "play/screen.h"

namespace play {

// An image plane to fill: rows of bytes, stride bytes apart.
struct Plane {
    std::uint8_t* data;
    std::ptrdiff_t stride;
};

// Into 4:2:0 Y, U and V planes of (640 x scale) x (480 x scale) pixels, with the usual
// standard-definition matrix (BT.601, limited range). A chroma sample is the mean of
// its four pixels': with an even scale those are one box pixel, so every colour keeps
// its own chroma exactly.
void to_yuv420(const Screen& screen, unsigned scale, Plane y, Plane u, Plane v);

// Into one plane of 4 bytes a pixel: blue, green, red, 0 (the colours exactly).
void to_bgr0(const Screen& screen, unsigned scale, Plane bgr0);

}  // namespace play
