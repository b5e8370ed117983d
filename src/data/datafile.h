// The layout of the show's data file, for the tool that builds and lists it.
//
// In order: prelude pictures 0 to 3 (PNG), the prelude soundtrack (AC-3 frames), one
// separator byte, the main soundtrack (AC-3 frames), the end-title font (PNG) and the
// end-title text to the end of the file. The main soundtrack starts at offset 181002.
// The whole file is scrambled with the data keystream from offset 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace datafile {

using Bytes = std::vector<std::uint8_t>;

// Length of the PNG stream at data[pos] (signature to the end of IEND), or 0.
std::size_t png_length(const Bytes& data, std::size_t pos);
// The same, whatever the 8 bytes of the signature hold: the chunks alone.
std::size_t png_chunks_length(const Bytes& data, std::size_t pos);
// Number of bytes and frames of the run of AC-3 frames at data[pos], the way the
// player scans it: it ends at the first 6-byte group that does not start with a sync
// word. ok is false when a frame has a bad size code or runs past the end.
struct Ac3Run {
    std::size_t bytes = 0;
    std::size_t frames = 0;
    std::size_t last_frame_bytes = 0;  // the length of the last whole frame
    unsigned rate = 0;
    bool ok = true;
};
Ac3Run scan_ac3(const Bytes& data, std::size_t pos);

struct Item {
    std::string name;
    std::size_t offset;
    std::size_t size;
    std::size_t frames;  // AC-3 items only
    unsigned rate;       // AC-3 items only
};
// Splits an unscrambled data file into its items; false (with why) when it does not
// have the layout.
bool split(const Bytes& plain, std::vector<Item>& items, std::string& why);

// Unscrambles a stored data file in place and splits it as split() does.
bool unscramble_and_split(Bytes& data, std::vector<Item>& items, std::string& why);

// Pads PNG stream png with an ancillary chunk so that it grows by exactly pad bytes
// (pad 0 or at least 12: a chunk costs 12 bytes beyond its data).
Bytes pad_png(const Bytes& png, std::size_t pad);

}  // namespace datafile
