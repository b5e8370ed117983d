// Writing 8-bit palette PNG pictures, and reading and writing files: for the content
// tools, the data builder, the screenshots of demo-play and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PalettePicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;              // width * height palette indices
    std::vector<std::array<std::uint8_t, 3>> palette;  // 1 to 256 entries
};

// Encodes the picture as a PNG stream (deterministic bytes for the same picture).
std::vector<std::uint8_t> encode_png(const PalettePicture& picture);
// Writes it to a file; false on failure.
bool write_png(const std::string& path, const PalettePicture& picture);
// Opens a file for reading: null when it cannot be opened or is a directory (which
// opens, but cannot be read).
std::FILE* open_file(const std::string& path);
// Reads a whole file; false when it cannot be opened or read, or goes on past 256 MB.
bool read_file(const std::string& path, std::vector<std::uint8_t>& out);
// Writes bytes to a file; false when any of them did not reach it (a full disk shows
// only when the file is closed). A new or regular file is written beside its name and
// renamed into place once complete, so that a failed write leaves nothing under the
// name; anything else (a device, a pipe, a link) is written to where it is.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
// Makes a new empty file beside path for a writer to grow until it is complete: path
// with the process's number and ".part" after it (and "-N" before that when such a
// file is there already), the name cut short where it would not fit in a folder entry.
// False, with why, when none can be made or path's own name is too long for one.
bool make_temp(const std::string& path, std::string& temp, std::string& why);
// Whether write_file could write path now, for a writer that knows where its file goes
// long before it has the bytes: false, with why, for a folder, a folder that is missing
// or cannot be written in, or a device, pipe or link that cannot be written. Leaves
// nothing behind.
bool can_write_file(const std::string& path, std::string& why);
// Decodes an 8-bit palette PNG; false if it is not one.
bool decode_png(const std::vector<std::uint8_t>& bytes, PalettePicture& picture);
