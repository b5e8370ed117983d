// The show's letters, drawn as text in assets/font/glyphs.txt: 7 x 10 cells of ink
// and paper for the printable ASCII codes and a heart at code 127. Used for the
// end-title font, the prelude's lettering and the logo.
#pragma once

#include <array>
#include <map>
#include <string>

namespace glyphs {

constexpr int kWidth = 7, kHeight = 10;
using Glyph = std::array<std::array<bool, kWidth>, kHeight>;
using Glyphs = std::map<int, Glyph>;

// Reads the glyph file's text; false with the line at fault when it is malformed.
bool parse(const std::string& text, Glyphs& out, std::string& error);

// Which pixels ink covers when `text` is set at (x, y) with each glyph cell
// `scale` pixels a dot and `advance` pixels apart; calls ink(px, py, glyph_row) for
// each covered pixel inside the picture. Codes without a glyph are skipped.
template <class Ink>
void set_text(const Glyphs& g, const std::string& text, int x, int y, int scale, int advance, Ink ink) {
    for (std::size_t i = 0; i < text.size(); i++) {
        auto it = g.find(static_cast<unsigned char>(text[i]));
        if (it == g.end()) continue;
        for (int r = 0; r < kHeight; r++)
            for (int c = 0; c < kWidth; c++)
                if (it->second[r][c])
                    for (int dy = 0; dy < scale; dy++)
                        for (int dx = 0; dx < scale; dx++) ink(x + int(i) * advance + c * scale + dx, y + r * scale + dy, r);
    }
}

}  // namespace glyphs
