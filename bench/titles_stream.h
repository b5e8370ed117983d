// The data stream the end titles read, as the show's own runs: a font of 16 x 16 cells
// of 20 x 24 pixels, then 40 lines of 24 glyphs. Opened scrambled, keystream started.
#pragma once

#include <cstdio>
#include <string>

#include "data/pngwrite.h"
#include "testbox.h"

inline std::FILE* open_titles_stream() {
    PalettePicture font;
    font.width = 16 * 20;
    font.height = 16 * 24;
    font.pixels.resize(std::size_t(font.width) * std::size_t(font.height));
    for (std::size_t i = 0; i < font.pixels.size(); i++) font.pixels[i] = std::uint8_t(i % 7 < 3 ? 0 : 1 + i % 200);
    font.palette.assign(256, {90, 90, 90});
    testbox::Bytes data = encode_png(font);
    for (int line = 0; line < 40; line++) {
        std::string text = "THE END TITLES, LINE " + std::to_string(line) + "\n";
        data.insert(data.end(), text.begin(), text.end());
    }
    return testbox::open_scrambled(data, 1);
}
