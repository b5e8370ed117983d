// Seed corpora for the fuzz targets, made at build time from the built content:
//   fuzz_seeds CONTENT_DIR DATA_FILE OUT_DIR
// writes OUT_DIR/<target>/<seed> for fuzz_png, fuzz_ac3, fuzz_datafile, fuzz_titles.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/encryption.h"
#include "show/seeds.h"

namespace {

using datafile::Bytes;

bool write(const std::string& path, const Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f);
}

Bytes read(const std::string& path) {
    Bytes b;
    if (!read_file(path, b)) std::fprintf(stderr, "fuzz_seeds: cannot read %s\n", path.c_str());
    return b;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + long(from), b.begin() + long(std::min(b.size(), from + n)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fuzz_seeds CONTENT_DIR DATA_FILE OUT_DIR\n");
        return 1;
    }
    const std::string content = argv[1], out = argv[3];
    Bytes plain = read(argv[2]);
    std::vector<datafile::Item> items;
    std::string why;
    if (!datafile::unscramble_and_split(plain, items, why)) {
        std::fprintf(stderr, "fuzz_seeds: %s: %s\n", argv[2], why.c_str());
        return 1;
    }
    bool ok = true;
    for (const char* pic : {"pic0.png", "pic1.png", "pic2.png", "pic3.png", "font.png", "logo.png"})
        ok = write(out + "/fuzz_png/" + pic, read(content + "/" + pic)) && ok;

    // A few frames of each soundtrack, behind each mode byte's choices.
    for (const char* track : {"prelude", "main"}) {
        Bytes ac3 = read(content + "/" + track + ".ac3");
        datafile::Ac3Run run = datafile::scan_ac3(ac3, 0);
        std::size_t frame = run.frames > 0 ? run.bytes / run.frames : 0;
        for (int mode : {0, 3, 6}) {
            Bytes seed = {std::uint8_t(mode), 4};
            Bytes frames = slice(ac3, 0, 10 * frame);
            seed.insert(seed.end(), frames.begin(), frames.end());
            ok = write(out + "/fuzz_ac3/" + track + "-" + std::to_string(mode), seed) && ok;
        }
    }

    // The data file with its main soundtrack cut to a few frames: every item there,
    // small enough to run a few hundred times a second.
    const datafile::Item& main_track = items[6];
    std::size_t frame = main_track.size / main_track.frames;
    Bytes mini = slice(plain, 0, main_track.offset + 8 * frame);
    mini.insert(mini.end(), plain.begin() + long(items[7].offset), plain.end());
    simplecrypt(mini.data(), mini.size(), kDataSeed);
    ok = write(out + "/fuzz_datafile/mini.dat", mini) && ok;

    // The titles with the show's font size and with a small one.
    Bytes titles = read(content + "/titles.txt");
    Bytes font = read(content + "/font.png");
    std::size_t w = font.size() > 24 ? std::size_t(font[18]) << 8 | font[19] : 2;
    std::size_t h = font.size() > 24 ? std::size_t(font[22]) << 8 | font[23] : 2;
    Bytes seed = {std::uint8_t((w - 2) / 2), std::uint8_t((h - 2) / 2)};
    seed.insert(seed.end(), titles.begin(), titles.end());
    ok = write(out + "/fuzz_titles/show", seed) && ok;
    Bytes small = {7, 7};
    small.insert(small.end(), titles.begin(), titles.begin() + long(std::min<std::size_t>(titles.size(), 200)));
    ok = write(out + "/fuzz_titles/small", small) && ok;
    return ok ? 0 : 1;
}
