// The show's pictures, drawn in code: the prelude's "thank you" screen and the three
// frames of its sprite animation, and the logo that the zoomer tiles.
#pragma once

#include "data/pngwrite.h"
#include "glyphs.h"

namespace pictures {

// Prelude picture 0: 640 x 480, its palette the prelude's colour map (entry 0 black,
// since the bounce shows blank pages of index 0 around it).
PalettePicture prelude(const glyphs::Glyphs& g);

// Sprite frame 1, 2 or 3 (1 the brightest): 64 x 67, index 0 transparent, colours
// taken from picture 0's palette. Drawn over the stars at (410, 50) and (230, 353).
PalettePicture sprite(int frame);

// Where the sprite animations play, top-left corners.
inline constexpr int kSpriteSpots[2][2] = {{410, 50}, {230, 353}};
inline constexpr int kSpriteWidth = 64, kSpriteHeight = 67;

// The logo: 256 x 256, index 0 transparent, seamless when tiled. Its palette is a
// brightness ramp, so the zoomer's halving of indices (its fading trails) darkens a
// colour along the same ramp.
PalettePicture logo(const glyphs::Glyphs& g);

}  // namespace pictures
