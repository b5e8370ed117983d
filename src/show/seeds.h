// Build-time constants shared by the program and the tool that builds its data.
#pragma once

#include <cstdint>

// Keystream of the data file.
constexpr std::uint32_t kDataSeed = 0x5EEDDA7Au;
// Mask of the data file's path inside the program.
constexpr std::uint32_t kPathMaskSeed = 0x0B0C5A11u;
// Keystream of the built-in fire word list.
constexpr std::uint32_t kWordsSeed = 0x0F1A3E5Du;
