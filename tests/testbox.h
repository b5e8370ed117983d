// Helpers for tests that run show code on a fresh emulated box.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "box/emu/emu.h"

namespace testbox {

using Bytes = std::vector<std::uint8_t>;

// A directory of its own for this test process, made on first use.
const std::string& temp_dir();
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);

// A fresh emulated box (virtual time) whose file tree is temp_dir()/box.
emu::Box& fresh_box(emu::Config config = emu::Config());

// The command that runs a program of this build (path relative to the build's top
// directory): under the emulator when the build is for another CPU.
std::string program(const std::string& path);

// A test AC-3 stream made at build time: 48000, 44100 or 32000 Hz.
Bytes tone_ac3(int rate = 48000);

// Scrambles plain with the keystream of seed (as the data builder does), writes it to
// a file, opens it for reading and starts the keystream with initcrypt(seed).
std::FILE* open_scrambled(const Bytes& plain, std::uint32_t seed);

}  // namespace testbox
