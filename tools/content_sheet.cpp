// content-sheet CONTENT ASSETS OUT.png: one picture to review the show's content by
// eye: the prelude screen, its sprite frames (twice size, over the spot they play
// on), the logo tiled 2 x 2, the end-title font grid, the first screen of the end
// titles, and each model from three sides (looking along +z as the show first sees
// it, along +x and along +y; the slab and the jet with back faces removed).
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "canvas.h"
#include "data/pngwrite.h"
#include "endtitles.h"
#include "glyphs.h"
#include "mesh.h"
#include "modelfacts.h"
#include "pictures.h"

namespace {

using Colour = std::array<std::uint8_t, 3>;

// A sheet whose palette fills up as pictures are placed; when it is full, colours go
// to the nearest entry already there.
struct Sheet {
    PalettePicture page;
    std::map<Colour, std::uint8_t> index;

    std::uint8_t colour(Colour c) {
        auto it = index.find(c);
        if (it != index.end()) return it->second;
        if (page.palette.size() < 256) {
            page.palette.push_back(c);
            return index[c] = std::uint8_t(page.palette.size() - 1);
        }
        int best = 0;
        long nearest = -1;
        for (std::size_t i = 0; i < page.palette.size(); i++) {
            long d = 0;
            for (int k = 0; k < 3; k++) d += long(c[k] - page.palette[i][k]) * (c[k] - page.palette[i][k]);
            if (nearest < 0 || d < nearest) {
                nearest = d;
                best = int(i);
            }
        }
        return std::uint8_t(best);
    }

    // Copies p at (x, y), each pixel `scale` times; index 0 left out if `holes`.
    void place(const PalettePicture& p, int x, int y, int scale = 1, bool holes = false) {
        std::vector<std::uint8_t> map(p.palette.size());
        for (std::size_t i = 0; i < p.palette.size(); i++) map[i] = colour(p.palette[i]);
        for (int j = 0; j < p.height * scale; j++)
            for (int i = 0; i < p.width * scale; i++) {
                std::uint8_t v = p.pixels[std::size_t(j / scale) * p.width + i / scale];
                if (holes && v == 0) continue;
                int px = x + i, py = y + j;
                if (px < page.width && py < page.height) page.pixels[std::size_t(py) * page.width + px] = map[v];
            }
    }

    void label(const glyphs::Glyphs& g, const std::string& s, int x, int y) {
        std::uint8_t ink = colour({200, 200, 210});
        glyphs::set_text(g, s, x, y, 1, 8, [&](int px, int py, int) {
            if (px < page.width && py < page.height) page.pixels[std::size_t(py) * page.width + px] = ink;
        });
    }
};

bool slurp(const std::string& path, std::string& out) {
    std::vector<std::uint8_t> bytes;
    if (!read_file(path, bytes)) {
        std::fprintf(stderr, "content-sheet: cannot read %s\n", path.c_str());
        return false;
    }
    out.assign(bytes.begin(), bytes.end());
    return true;
}

bool load_png(const std::string& path, PalettePicture& p) {
    std::string bytes;
    if (!slurp(path, bytes)) return false;
    if (!decode_png(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), p)) {
        std::fprintf(stderr, "content-sheet: %s is not an 8-bit palette PNG\n", path.c_str());
        return false;
    }
    // An index past the palette has no colour in the picture. The sheet is for finding
    // faults in the content, so it refuses the picture rather than draw it in a colour
    // made up here.
    for (std::uint8_t v : p.pixels)
        if (v >= p.palette.size()) {
            std::fprintf(stderr, "content-sheet: %s has pixel index %d past its %zu palette entries\n", path.c_str(),
                         int(v), p.palette.size());
            return false;
        }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: content-sheet CONTENT ASSETS OUT.png\n");
        return 1;
    }
    const std::string content = argv[1], assets = argv[2];
    std::string text, error;
    glyphs::Glyphs g;
    if (!slurp(assets + "/font/glyphs.txt", text) || !glyphs::parse(text, g, error)) {
        std::fprintf(stderr, "content-sheet: glyphs.txt %s\n", error.c_str());
        return 1;
    }
    PalettePicture pic[4], logo, font;
    for (int k = 0; k < 4; k++)
        if (!load_png(content + "/pic" + std::to_string(k) + ".png", pic[k])) return 1;
    if (!load_png(content + "/logo.png", logo) || !load_png(content + "/font.png", font)) return 1;
    std::string titles;
    if (!slurp(content + "/titles.txt", titles)) return 1;

    Sheet s;
    s.page = canvas::blank(2000, 1100);
    s.colour({28, 28, 34});  // background, entry 0
    const int gap = 40;

    // Row one: the prelude screen, its sprites, the logo tiled.
    s.label(g, "prelude picture 0 (640 x 480)", 20, 8);
    s.place(pic[0], 20, 24);
    s.label(g, "sprites 1 2 3", 680, 8);
    for (int k = 1; k <= 3; k++) {
        int y = 24 + (k - 1) * (2 * pictures::kSpriteHeight + 12);
        PalettePicture under = canvas::blank(pictures::kSpriteWidth, pictures::kSpriteHeight);
        under.palette = pic[0].palette;
        canvas::blit(under, pic[0], -pictures::kSpriteSpots[0][0], -pictures::kSpriteSpots[0][1]);
        s.place(under, 680, y, 2);
        s.place(pic[k], 680, y, 2, true);
        s.place(pic[k], 820, y + 40);
    }
    s.label(g, "logo tiled 2 x 2", 920, 8);
    for (int k = 0; k < 4; k++) s.place(logo, 920 + (k & 1) * 256, 24 + (k >> 1) * 256);
    s.label(g, "end-title font (16 x 16 cells)", 1460, 8);
    s.place(font, 1460, 24);

    // Row two: the end titles' first screen, and the models.
    std::vector<std::uint8_t> bytes(titles.begin(), titles.end());
    s.label(g, "end titles, first screen", 20, 536 + gap);
    s.place(endtitles::first_screen(endtitles::bitmap(font, bytes)), 20, 552 + gap);

    // Models: two to a row, three views each, shaded in one blue ramp.
    std::vector<Colour> shades;
    for (int i = 0; i < 32; i++) {
        double t = 0.15 + 0.85 * i / 31.0;
        shades.push_back({std::uint8_t(60 * t + 30), std::uint8_t(190 * t + 30), std::uint8_t(215 * t + 35)});
    }
    const canvas::View views[3] = {canvas::kFront, canvas::kSide, canvas::kEnd};
    const char* view_names[3] = {"along +z", "along +x", "along +y"};
    const int size = 210;
    for (int m = 0; m < 4; m++) {
        std::string blob;
        mesh::Model model;
        const mesh::Expected& e = mesh::kModels[m];
        const std::string path = content + "/" + e.name + ".bin";
        if (!slurp(path, blob)) return 1;
        if (!mesh::decode(std::vector<std::uint8_t>(blob.begin(), blob.end()), model)) {
            std::fprintf(stderr, "content-sheet: %s is not a model (shorter than its header says, or a face names a "
                         "vertex it does not have)\n", path.c_str());
            return 1;
        }
        for (int v = 0; v < 3; v++) {
            int x = 700 + ((m & 1) * 3 + v) * (size + 5), y = 552 + gap + (m >> 1) * (size + 40);
            PalettePicture cell = canvas::blank(size, size);
            cell.palette.push_back({16, 16, 22});
            cell.palette.insert(cell.palette.end(), shades.begin(), shades.end());
            canvas::draw_model(cell, model, views[v], 0, 0, size, 1, 32, !e.outward);
            s.place(cell, x, y);
            s.label(g, std::string(e.name) + " " + view_names[v], x, y - 16);
        }
    }
    if (!write_png(argv[3], s.page)) {
        std::fprintf(stderr, "content-sheet: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
