// Helpers for tests that run show code on a fresh emulated box.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

#include "box/emu/emu.h"

namespace testbox {

using Bytes = std::vector<std::uint8_t>;

// A directory of its own for this test process, made on first use.
const std::string& temp_dir();
Bytes read_file(const std::string& path);
// The file as text (empty when it cannot be read).
std::string text_of(const std::string& path);
// Writes bytes to path, making its folders; throws when they do not reach the file.
void write_file(const std::string& path, const Bytes& bytes);

// A fresh emulated box (virtual time) whose file tree is temp_dir()/box.
emu::Box& fresh_box(emu::Config config = emu::Config());

// Opens the box's /dev/dsp and sets it up as the show does: 16-bit little-endian
// stereo at rate. Throws (failing the test) when the device refuses any of it.
int open_dsp(int rate = 48000);

// The command that runs a program of this build (path relative to the build's top
// directory): under the emulator when the build is for another CPU.
std::string program(const std::string& path);

// FNV-1a over the values, each as four bytes from the lowest: the same on every CPU for
// the same values.
std::uint64_t digest(const std::int32_t* values, std::size_t count);

// The exit status in a wait status (of std::system or waitpid): -1 when a signal ended
// the program.
int exit_code(int wait_status);

// A test AC-3 stream made at build time: 48000, 44100 or 32000 Hz.
Bytes tone_ac3(int rate = 48000);
// Starts the show's AC-3 player (ac3_init) on the 48 kHz test tone, from a file of its
// own. Throws (failing the test) when the player refuses it.
void start_tone();

// A 3D model in the show's built-in format: the counts of vertices and faces, then
// each vertex's x, y, z and each face's three vertex indices, 16 bits each, lowest
// byte first.
Bytes model_block(const std::vector<std::array<int, 3>>& vertices, const std::vector<std::array<int, 3>>& faces);

// Where the AC-3 frames of bytes[pos, end) start, each cut at the length its header
// gives; the cutting stops at a header that gives none.
std::vector<std::size_t> ac3_frame_starts(const Bytes& bytes, std::size_t pos = 0, std::size_t end = SIZE_MAX);
// The AC-3 frames of bytes[pos, end), one by one. Throws (failing the test) unless
// they fill it exactly.
std::vector<Bytes> ac3_frames(const Bytes& bytes, std::size_t pos = 0, std::size_t end = SIZE_MAX);
// The AC-3 frames of a soundtrack item ("prelude soundtrack", "main soundtrack") of a
// stored data file. Throws when the file has no such item.
std::vector<Bytes> soundtrack_frames(const std::string& data_file, const std::string& item);

// Starts a virtual X server (Xvfb, 1600 x 1200, 24-bit) and points DISPLAY at it: its
// process, or -1 when it does not start.
pid_t start_xvfb();

// Scrambles plain with the keystream of seed (as the data builder does), writes it to
// a file, opens it for reading and starts the keystream with initcrypt(seed).
std::FILE* open_scrambled(const Bytes& plain, std::uint32_t seed);

}  // namespace testbox
