// Checking a data file before it goes to a box: every item read the way the show reads
// it, and everything the show takes on trust verified.
//
// The pictures are decoded by the show's own read_png through the data stream fp (the
// program that checks defines fp, as the show's driver does); every PNG chunk's CRC
// is compared. The soundtracks are scanned as the player scans them, and every AC-3
// frame's two CRCs (crc1 over the first 5/8 of the frame, crc2 over all of it, ATSC
// A/52) are verified: a changed byte anywhere in a frame fails one of them, where the
// show would play it on as a damaged sound.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace datafile {

// What a prelude picture must be: width exactly, and height rows exactly (the
// background) or at least (the sprites, which are drawn from their top rows).
struct PictureSize {
    int width;
    int height;
    bool at_least;
    bool fits(int w, int h) const { return w == width && (at_least ? h >= height : h == height); }
    std::string text() const {
        return at_least ? "width " + std::to_string(width) + " and at least " + std::to_string(height) + " rows"
                        : std::to_string(width) + " x " + std::to_string(height);
    }
};
constexpr PictureSize kPreludeSizes[4] = {{640, 480, false}, {64, 67, true}, {64, 67, true}, {64, 67, true}};
// The end titles start at this frame of the main soundtrack: it must be that long.
constexpr std::size_t kMainFramesNeeded = 5140;

// CRC-16 with the generator x^16 + x^15 + x^2 + 1, most significant bit first, from 0.
std::uint16_t ac3_crc(const std::uint8_t* data, std::size_t len);
// The checks of the len-byte AC-3 frame at frame: bit 0 set when crc1 fails, bit 1 when
// crc2 fails.
int ac3_crc_failures(const std::uint8_t* frame, std::size_t len);

struct Finding {
    explicit Finding(std::string name, std::size_t at = 0, std::size_t bytes = 0)
        : item(std::move(name)), offset(at), size(bytes) {}
    std::string item;
    std::size_t offset = 0;  // the item's offset; where it is damaged, when it is
    std::size_t size = 0;
    bool ok = true;
    std::string what;        // what it holds, or what is wrong with it
};

struct Check {
    std::vector<Finding> items;
    bool damaged = false;         // an item of the data file the show would not read as it was written
    bool short_soundtrack = false;  // sound, but the main soundtrack ends before kMainFramesNeeded
    bool logo_damaged = false;    // the logo is not the picture the show needs
    bool passed() const { return !damaged && !short_soundtrack && !logo_damaged; }
};

// Checks the stored (scrambled) data file open for reading in `stored`, read from its
// start through the data stream fp; with logo (a plain file, or null) also the logo.
// Leaves fp pointing at stored.
Check check(std::FILE* stored, std::FILE* logo);

// One line per finding: item, offset, size, and ok or what is wrong.
std::string report(const Check& check);

}  // namespace datafile
