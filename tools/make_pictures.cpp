// make-pictures ASSETS OUTDIR: draws the show's pictures and lays out its title text.
// Writes pic0.png (the prelude's "thank you" screen), pic1.png to pic3.png (its sprite
// frames), logo.png, font.png and titles.txt (the text, checked and 0-terminated).
#include <cstdio>
#include <string>

#include "data/pngwrite.h"
#include "endtitles.h"
#include "glyphs.h"
#include "pictures.h"

namespace {

bool slurp(const std::string& path, std::string& out) {
    std::vector<std::uint8_t> bytes;
    if (!read_file(path, bytes)) {
        std::fprintf(stderr, "make-pictures: cannot read %s\n", path.c_str());
        return false;
    }
    out.assign(bytes.begin(), bytes.end());
    return true;
}

bool picture(const std::string& path, const PalettePicture& p) {
    if (write_png(path, p)) return true;
    std::fprintf(stderr, "make-pictures: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make-pictures ASSETS OUTDIR\n");
        return 1;
    }
    const std::string assets = argv[1], out = argv[2];
    std::string source, error;
    glyphs::Glyphs g;
    if (!slurp(assets + "/font/glyphs.txt", source)) return 1;
    if (!glyphs::parse(source, g, error)) {
        std::fprintf(stderr, "make-pictures: glyphs.txt: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::uint8_t> titles;
    if (!slurp(assets + "/titles.txt", source)) return 1;
    if (!endtitles::text(source, g, titles, error)) {
        std::fprintf(stderr, "make-pictures: titles.txt: %s\n", error.c_str());
        return 1;
    }
    if (!write_file(out + "/titles.txt", titles)) {
        std::fprintf(stderr, "make-pictures: cannot write %s/titles.txt\n", out.c_str());
        return 1;
    }
    bool ok = picture(out + "/pic0.png", pictures::prelude(g));
    for (int k = 1; k <= 3; k++) ok = ok && picture(out + "/pic" + std::to_string(k) + ".png", pictures::sprite(k));
    ok = ok && picture(out + "/logo.png", pictures::logo(g)) && picture(out + "/font.png", endtitles::font(g));
    return ok ? 0 : 1;
}
