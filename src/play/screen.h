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
// Each pixel as 0xRRGGBB (top byte zero), row by row.
void to_rgb32(const Screen& screen, std::uint32_t* out);

}  // namespace play
