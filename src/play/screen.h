// What the viewer of the box sees: the panned page through the current colour map.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "box/emu/framebuffer.h"
#include "data/pngwrite.h"

namespace play {

struct Screen {
    static constexpr unsigned kWidth = emu::Framebuffer::kWidth;
    static constexpr unsigned kHeight = emu::Framebuffer::kHeight;

    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(kWidth * kHeight);  // palette indices
    std::array<std::uint8_t, 768> palette{};                                       // 8-bit RGB triplets

    bool operator==(const Screen&) const = default;
};

// Copies what fb shows into screen.
void take_screen(const emu::Framebuffer& fb, Screen& screen);
// Whether fb shows exactly screen.
bool shows(const emu::Framebuffer& fb, const Screen& screen);
// As an 8-bit palette picture.
PalettePicture to_picture(const Screen& screen);
// Where a pixel's colour goes in its 32-bit word: each channel's shift, and the bits
// the channels leave (alpha, say). By default 0xRRGGBB, top byte zero.
struct Rgb32Layout {
    int red_shift = 16, green_shift = 8, blue_shift = 0;
    std::uint32_t rest = 0;
};
// Each pixel as one word, row by row, through a table of the 256 colours.
void to_rgb32(const Screen& screen, std::uint32_t* out, const Rgb32Layout& layout = {});

}  // namespace play
