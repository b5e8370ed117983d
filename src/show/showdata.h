// Data built into the program: the scrambled fire word list and the four 3D models,
// linked in as blobs of bytes.
#pragma once

#include <cstdint>

extern "C" {
extern std::uint8_t _binary_firewords_crypt_start[];  // unscrambled in place
extern const std::uint8_t _binary_firewords_crypt_size[];
extern const std::uint8_t _binary_velmaris_bin_start[];
extern const std::uint8_t _binary_duck_bin_start[];
extern const std::uint8_t _binary_face_bin_start[];
extern const std::uint8_t _binary_x29_bin_start[];
}
