#include "endtitles.h"

#include <algorithm>
#include <cmath>

#include "canvas.h"

namespace endtitles {

PalettePicture font(const glyphs::Glyphs& g) {
    PalettePicture p = canvas::blank(16 * kCellWidth, 16 * kCellHeight);
    // Ink shades from pale gold at the top of a letter to deep orange below; a dark
    // shadow under it keeps it clear of the stars.
    const std::array<std::uint8_t, 3> top{255, 250, 220}, middle{255, 200, 90}, bottom{214, 86, 48};
    p.palette.push_back({0, 0, 0});
    for (int i = 0; i < 10; i++) {
        double t = i / 9.0;
        const auto& a = t < 0.5 ? top : middle;
        const auto& b = t < 0.5 ? middle : bottom;
        double u = t < 0.5 ? t * 2 : t * 2 - 1;
        std::array<std::uint8_t, 3> c;
        for (int k = 0; k < 3; k++) c[k] = std::uint8_t(std::lround(a[k] + u * (b[k] - a[k])));
        p.palette.push_back(c);
    }
    const std::uint8_t shadow = 11;
    p.palette.push_back({44, 16, 64});
    for (const auto& [code, glyph] : g) {
        int x0 = (code >> 4) * kCellWidth + 1, y0 = (code & 15) * kCellHeight + 1;
        std::string one(1, char(code));
        auto put = [&](int x, int y, std::uint8_t v, bool over) {
            std::uint8_t& px = p.pixels[std::size_t(y) * p.width + x];
            if (over || px == 0) px = v;
        };
        glyphs::set_text(g, one, x0 + 1, y0 + 1, 2, 0, [&](int x, int y, int) { put(x, y, shadow, false); });
        glyphs::set_text(g, one, x0, y0, 2, 0, [&](int x, int y, int) { put(x, y, std::uint8_t(1 + (y - y0) / 2), true); });
    }
    return p;
}

bool text(const std::string& source, const glyphs::Glyphs& g, std::vector<std::uint8_t>& out, std::string& error) {
    out.clear();
    const std::string heart = "{heart}";
    for (std::size_t i = 0; i < source.size(); i++) {
        if (source.compare(i, heart.size(), heart) == 0) {
            out.push_back(127);
            i += heart.size() - 1;
        } else {
            out.push_back(static_cast<unsigned char>(source[i]));
        }
    }
    // One line feed at the end of the file ends the last line, not a new empty one.
    if (!out.empty() && out.back() == '\n') out.pop_back();
    int line = 1, length = 0;
    for (std::uint8_t b : out) {
        if (b == '\n') {
            line++;
            length = 0;
            continue;
        }
        if (!g.count(b)) {
            error = "line " + std::to_string(line) + ": no glyph for code " + std::to_string(b);
            return false;
        }
        if (++length * kCellWidth > 640) {
            error = "line " + std::to_string(line) + " is wider than the screen";
            return false;
        }
    }
    if (line * kCellHeight < 480) {
        error = "the text makes only " + std::to_string(line * kCellHeight) + " rows, fewer than a screen";
        return false;
    }
    out.push_back(0);
    return true;
}

PalettePicture bitmap(const PalettePicture& font, const std::vector<std::uint8_t>& text) {
    const int cw = font.width >> 4, ch = font.height >> 4;
    int lines = 1;
    for (std::size_t i = 0; i < text.size() && text[i] != 0; i++) lines += text[i] == '\n';
    PalettePicture p = canvas::blank(640, ch * lines);
    p.palette = font.palette;
    std::size_t at = 0;
    for (int k = 0; k < lines; k++) {
        std::size_t end = at;
        while (end < text.size() && text[end] != 0 && text[end] != '\n') end++;
        int n = int(end - at), pen = 320 - (cw * n) / 2;
        for (std::size_t i = at; i < end && pen < 639; i++, pen += cw) {
            int code = text[i], width = std::min(cw, 639 - pen);
            for (int r = 0; r < ch; r++)
                for (int c = 0; c < width; c++)
                    if (pen + c >= 0)
                        p.pixels[std::size_t(ch * k + r) * 640 + pen + c] =
                            font.pixels[std::size_t((code & 15) * ch + r) * font.width + (code >> 4) * cw + c];
        }
        at = end + 1;
    }
    return p;
}

std::array<int, 480> wave() {
    std::array<int, 480> offs{};
    for (int j = 0; j < 120; j++) {
        int v = int(std::sin(double(j) * 0.06283185307179587) * double((j * j) / 100));
        offs[360 + j] = v;
        offs[119 - j] = -v;
    }
    return offs;
}

PalettePicture first_screen(const PalettePicture& bitmap) {
    PalettePicture p = canvas::blank(640, 480);
    p.palette = bitmap.palette;
    std::array<int, 480> offs = wave();
    for (int r = 0; r < 480 && r < bitmap.height; r++)
        for (int x = 0; x < 639; x++) {
            int from = x - offs[r];
            if (from >= 0 && from < 639) p.pixels[std::size_t(r) * 640 + x] = bitmap.pixels[std::size_t(r) * 640 + from];
        }
    return p;
}

}  // namespace endtitles
