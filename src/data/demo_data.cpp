// demo-data: builds the show's data file from its items, checks a data file (and the
// logo) as the show will read them, lists what a data file holds, and scrambles the
// built-in fire word list.
//
//   demo-data build OUT PIC0 PIC1 PIC2 PIC3 PRELUDE.ac3 MAIN.ac3 FONT.png TITLES
//   demo-data check FILE [LOGO]
//   demo-data list FILE
//   demo-data words IN OUT
#include <algorithm>
#include <cstdio>
#include <string>

#include "data/datacheck.h"
#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/encryption.h"
#include "show/seeds.h"
#include "show/vidparm.h"

// The data stream the show's picture reader reads from: the file being checked.
std::FILE* fp;

namespace {

using datafile::Bytes;

bool load(const std::string& path, Bytes& out) {
    if (read_file(path, out)) return true;
    std::fprintf(stderr, "demo-data: cannot read %s\n", path.c_str());
    return false;
}

bool save(const std::string& path, const Bytes& data) {
    if (write_file(path, data)) return true;
    std::fprintf(stderr, "demo-data: cannot write %s\n", path.c_str());
    return false;
}

// Whether png is one 8-bit palette PNG of a size that fits (any width when need.width
// is 0).
bool check_picture(const std::string& path, const Bytes& png, datafile::PictureSize need) {
    PalettePicture pic;
    if (datafile::png_length(png, 0) != png.size() || !decode_png(png, pic)) {
        std::fprintf(stderr, "demo-data: %s is not one 8-bit palette PNG\n", path.c_str());
        return false;
    }
    if (need.width == 0) need.width = pic.width;
    if (!need.fits(pic.width, pic.height)) {
        std::fprintf(stderr, "demo-data: %s is %d x %d, needs %s\n", path.c_str(), pic.width, pic.height, need.text().c_str());
        return false;
    }
    return true;
}

bool check_soundtrack(const std::string& path, const Bytes& ac3) {
    datafile::Ac3Run run = datafile::scan_ac3(ac3, 0);
    if (!run.ok || run.frames == 0 || run.bytes != ac3.size()) {
        std::fprintf(stderr, "demo-data: %s is not a whole run of AC-3 frames\n", path.c_str());
        return false;
    }
    return true;
}

int build(int argc, char** argv) {
    if (argc != 11) {
        std::fprintf(stderr, "usage: demo-data build OUT PIC0 PIC1 PIC2 PIC3 PRELUDE.ac3 MAIN.ac3 FONT.png TITLES\n");
        return 1;
    }
    Bytes pics[4], prelude, main_track, font, titles;
    for (int i = 0; i < 4; i++)
        if (!load(argv[3 + i], pics[i]) || !check_picture(argv[3 + i], pics[i], datafile::kPreludeSizes[i]))
            return 1;
    if (!load(argv[7], prelude) || !check_soundtrack(argv[7], prelude)) return 1;
    if (!load(argv[8], main_track) || !check_soundtrack(argv[8], main_track)) return 1;
    if (!load(argv[9], font) || !check_picture(argv[9], font, {0, 16, true})) return 1;
    if (!load(argv[10], titles)) return 1;
    if (std::find(titles.begin(), titles.end(), 0) == titles.end()) {
        std::fprintf(stderr, "demo-data: %s has no 0 byte to end the text\n", argv[10]);
        return 1;
    }

    // The prelude (pictures, soundtrack, separator) must fill the bytes before the main
    // soundtrack exactly: pad picture 0 with an ancillary chunk. A chunk costs at least
    // 12 bytes, so when less than that is missing the prelude soundtrack gives up
    // frames from its end until a chunk fits.
    auto prelude_bytes = [&] {
        std::size_t n = prelude.size() + 1;
        for (const Bytes& p : pics) n += p.size();
        return n;
    };
    std::size_t dropped = 0;
    while (prelude_bytes() < std::size_t(kMainSoundtrackOffset) &&
           std::size_t(kMainSoundtrackOffset) - prelude_bytes() < 12) {
        // Frames differ in length (at 44.1 kHz by two bytes): cut where the last begins.
        prelude.resize(prelude.size() - datafile::scan_ac3(prelude, 0).last_frame_bytes);
        dropped++;
    }
    if (prelude_bytes() > std::size_t(kMainSoundtrackOffset)) {
        std::fprintf(stderr, "demo-data: the prelude takes %zu bytes, more than the %ld before the main soundtrack\n",
                     prelude_bytes(), kMainSoundtrackOffset);
        return 1;
    }
    std::size_t pad = std::size_t(kMainSoundtrackOffset) - prelude_bytes();
    pics[0] = datafile::pad_png(pics[0], pad);
    if (pad > 0) std::printf("demo-data: padded prelude picture 0 with %zu bytes\n", pad);
    if (dropped > 0) std::printf("demo-data: dropped %zu frames from the end of the prelude soundtrack\n", dropped);

    Bytes out;
    for (const Bytes& p : pics) out.insert(out.end(), p.begin(), p.end());
    out.insert(out.end(), prelude.begin(), prelude.end());
    out.push_back(0);
    out.insert(out.end(), main_track.begin(), main_track.end());
    out.insert(out.end(), font.begin(), font.end());
    out.insert(out.end(), titles.begin(), titles.end());

    std::vector<datafile::Item> items;
    std::string why;
    if (!datafile::split(out, items, why)) {
        std::fprintf(stderr, "demo-data: refusing to write a data file: %s\n", why.c_str());
        return 1;
    }
    simplecrypt(out.data(), out.size(), kDataSeed);

    // Read the file as the show will before it is written: what the checks of the
    // sources above do not see (an AC-3 frame's CRCs, bytes after the text's 0 byte) is
    // refused, blamed on the source of the first damaged item, and nothing is written.
    // A main soundtrack too short for the whole show is allowed (test shows are made of
    // short tones) but said.
    std::FILE* stored = fmemopen(out.data(), out.size(), "rb");
    if (stored == nullptr) {
        std::fprintf(stderr, "demo-data: no memory to check %s\n", argv[2]);
        return 1;
    }
    datafile::Check check = datafile::check(stored, nullptr);
    std::fclose(stored);
    fp = nullptr;
    if (check.damaged) {
        std::fputs(datafile::report(check).c_str(), stdout);
        // The items in the order check() finds them, each with its source (the
        // separator is this program's own byte); a short main soundtrack is no damage.
        const char* const sources[] = {argv[3], argv[4], argv[5], argv[6], argv[7], argv[2], argv[8], argv[9], argv[10]};
        auto damaged = [&](const datafile::Finding& f) {
            return !f.ok && !(check.short_soundtrack && f.item == "main soundtrack");
        };
        const std::size_t last = std::min(check.items.size(), std::size(sources)) - 1;
        std::size_t i = 0;
        while (i < last && !damaged(check.items[i])) i++;
        std::fprintf(stderr, "demo-data: %s: %s: %s; %s not written\n", sources[i], check.items[i].item.c_str(),
                     check.items[i].what.c_str(), argv[2]);
        return 1;
    }
    if (!save(argv[2], out)) return 1;
    if (check.short_soundtrack)
        std::printf("demo-data: warning: %s: its main soundtrack is too short for the whole show\n", argv[2]);
    return 0;
}

int check(const char* path, const char* logo_path) {
    std::FILE* data = open_file(path);
    if (data == nullptr) {
        std::fprintf(stderr, "demo-data: cannot read %s\n", path);
        return 1;
    }
    std::FILE* logo = nullptr;
    if (logo_path != nullptr && (logo = open_file(logo_path)) == nullptr) {
        std::fprintf(stderr, "demo-data: cannot read %s\n", logo_path);
        std::fclose(data);
        return 1;
    }
    datafile::Check check = datafile::check(data, logo);
    std::fclose(data);
    fp = nullptr;
    if (logo != nullptr) std::fclose(logo);
    std::fputs(datafile::report(check).c_str(), stdout);
    if (check.passed()) return 0;
    if (check.damaged || check.short_soundtrack)
        std::fprintf(stderr, "demo-data: %s: %s\n", path,
                     check.damaged ? "damaged: the show would not read it as it was made"
                                   : "the main soundtrack ends before the show does");
    if (check.logo_damaged) std::fprintf(stderr, "demo-data: %s: not the logo the show needs\n", logo_path);
    return 1;
}

int list(const char* path) {
    Bytes data;
    if (!load(path, data)) return 1;
    std::vector<datafile::Item> items;
    std::string why;
    bool ok = datafile::unscramble_and_split(data, items, why);
    std::printf("%-20s %9s %9s %7s %9s\n", "item", "offset", "size", "frames", "seconds");
    for (const auto& item : items) {
        std::printf("%-20s %9zu %9zu", item.name.c_str(), item.offset, item.size);
        if (item.frames > 0)
            std::printf(" %7zu %9.3f", item.frames, double(item.frames) * 1536.0 / item.rate);
        std::printf("\n");
    }
    std::printf("total %zu bytes\n", data.size());
    if (!ok) {
        std::fprintf(stderr, "demo-data: %s: %s\n", path, why.c_str());
        return 1;
    }
    return 0;
}

// The word list: 37 bytes, eight words of at most six letters, each ended by a line
// feed and the last by the list's only 0 byte. The fire prints the list up to its first
// 0, so a word after an earlier one would never be drawn; and it centres each word's
// mask on its 159 columns, where a seventh letter of 24 cells starts left of column 0.
int words(const char* in, const char* out) {
    Bytes list;
    if (!load(in, list)) return 1;
    std::size_t ends = 0, longest = 0, letters = 0;
    for (std::uint8_t b : list) {
        if (b == 0 || b == '\n') {
            ends++;
            letters = 0;
        } else {
            longest = std::max(longest, ++letters);
        }
    }
    if (list.size() != 37 || ends != 8 || std::find(list.begin(), list.end(), 0) != list.end() - 1 || longest > 6) {
        std::fprintf(stderr,
                     "demo-data: %s must be 37 bytes holding eight words of at most six letters, each ended by a line "
                     "feed and the last by the only 0 byte\n",
                     in);
        return 1;
    }
    simplecrypt(list.data(), list.size(), kWordsSeed);
    return save(out, list) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "build") return build(argc, argv);
    if (cmd == "check" && (argc == 3 || argc == 4)) return check(argv[2], argc == 4 ? argv[3] : nullptr);
    if (cmd == "list" && argc == 3) return list(argv[2]);
    if (cmd == "words" && argc == 4) return words(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: demo-data build OUT PIC0 PIC1 PIC2 PIC3 PRELUDE.ac3 MAIN.ac3 FONT.png TITLES\n"
                 "       demo-data check FILE [LOGO]\n"
                 "       demo-data list FILE\n"
                 "       demo-data words IN OUT\n");
    return 1;
}
