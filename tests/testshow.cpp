#include "testshow.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "data/datafile.h"
#include "data/pngwrite.h"

namespace testshow {
namespace {

PalettePicture picture(int w, int h, int colours, int seed) {
    PalettePicture p;
    p.width = w;
    p.height = h;
    p.pixels.resize(std::size_t(w) * std::size_t(h));
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            p.pixels[std::size_t(y * w + x)] = std::uint8_t((x / 8 + y / 8 + seed) % colours);
    for (int i = 0; i < colours; i++) p.palette.push_back({std::uint8_t(i * 16), std::uint8_t(255 - i * 16), 128});
    return p;
}

// A 16 x 16 grid of 8 x 16 cells; each glyph is a box with its code's bits inside.
PalettePicture font() {
    PalettePicture p = picture(128, 256, 4, 0);
    for (int code = 0; code < 256; code++) {
        int cx = (code >> 4) * 8, cy = (code & 15) * 16;
        for (int y = 0; y < 16; y++)
            for (int x = 0; x < 8; x++) {
                bool ink = code != ' ' && (y == 1 || y == 14 || x == 0 || (y > 3 && y < 12 && (code >> (x % 8)) & 1));
                p.pixels[std::size_t((cy + y) * 128 + cx + x)] = ink ? 3 : 0;
            }
    }
    return p;
}

}  // namespace

const testbox::Bytes& long_tone() {
    static const testbox::Bytes tone = testbox::read_file(std::string(TEST_DATA_DIR) + "/long48.ac3");
    return tone;
}

std::size_t long_tone_frame_bytes() {
    const datafile::Ac3Run run = datafile::scan_ac3(long_tone(), 0);
    return run.bytes / run.frames;
}

std::string make_box_tree(const std::string& root, const Options& options) {
    std::string items = root + "/items";
    std::filesystem::create_directories(items);
    std::filesystem::create_directories(root + "/mnt/html/gui");
    write_png(items + "/pic0.png", picture(640, 480, 8, 0));
    for (int i = 1; i < 4; i++) write_png(items + "/pic" + std::to_string(i) + ".png", picture(64, 67, 8, i));
    write_png(items + "/font.png", font());
    write_png(root + "/mnt/html/gui/Velmaris.png", picture(256, 256, 16, 5));
    testbox::Bytes prelude = testbox::tone_ac3();
    if (options.prelude_frames > 0)
        prelude.assign(long_tone().begin(), long_tone().begin() + long(long_tone_frame_bytes()) * options.prelude_frames);
    testbox::write_file(items + "/prelude.ac3", prelude);
    testbox::Bytes main_track = options.long_soundtrack ? long_tone() : testbox::tone_ac3();
    testbox::write_file(items + "/main.ac3", main_track);
    std::string text;
    for (int i = 0; i < options.title_lines; i++) text.append(i > 0 ? "\nLINE " : "LINE ").append(std::to_string(i));
    testbox::Bytes titles(text.begin(), text.end());
    titles.push_back(0);
    testbox::write_file(items + "/titles.txt", titles);

    std::string cmd = testbox::program("src/data/demo-data") + " build " + root + DEMO_DATA_PATH;
    for (const char* item : {"pic0.png", "pic1.png", "pic2.png", "pic3.png", "prelude.ac3", "main.ac3", "font.png", "titles.txt"})
        cmd += " " + items + "/" + item;
    cmd += " > /dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("demo-data build failed");
    return root;
}

emu::Box& fresh_show_box(const Options& options, emu::Config config) {
    config.root = make_box_tree(testbox::temp_dir() + "/box", options);
    return emu::reset(config);
}

}  // namespace testshow
