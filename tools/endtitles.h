// The end titles' font picture and text, and the text bitmap the show builds from
// them, for checking the text and for previews.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "data/pngwrite.h"
#include "glyphs.h"

namespace endtitles {

// Glyph cells of the font picture: 16 x 16 of them, code k in cell column k >> 4 and
// cell row k & 15. Palette entries 240 to 255 are left to the show's stars.
inline constexpr int kCellWidth = 16, kCellHeight = 22;
PalettePicture font(const glyphs::Glyphs& g);

// The stored title text from its source: "{heart}" becomes code 127 and a 0 byte ends
// it. False (with why) when a line is wider than the screen, a character has no
// glyph, or the text makes fewer than 480 rows of bitmap.
bool text(const std::string& source, const glyphs::Glyphs& g, std::vector<std::uint8_t>& out, std::string& error);

// The text bitmap the show scrolls: 640 wide, one font cell high per line, each line
// centred at 320 - (cell width x length) / 2 and cut at column 639, cells copied
// opaque.
PalettePicture bitmap(const PalettePicture& font, const std::vector<std::uint8_t>& text);

// The sideways shift of each screen row (the wave at the top and the bottom).
std::array<int, 480> wave();

// What the first frame of the titles shows: bitmap rows 0 to 479, shifted by the wave.
PalettePicture first_screen(const PalettePicture& bitmap);

}  // namespace endtitles
