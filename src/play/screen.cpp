#include "play/screen.h"

#include <cstring>

namespace play {

void take_screen(const emu::Framebuffer& fb, Screen& screen) {
    std::memcpy(screen.pixels.data(), fb.shown(), screen.pixels.size());
    screen.palette = fb.palette8();
}

bool shows(const emu::Framebuffer& fb, const Screen& screen) {
    return fb.palette8() == screen.palette && std::memcmp(fb.shown(), screen.pixels.data(), screen.pixels.size()) == 0;
}

PalettePicture to_picture(const Screen& screen) {
    PalettePicture picture;
    picture.width = Screen::kWidth;
    picture.height = Screen::kHeight;
    picture.pixels = screen.pixels;
    picture.palette.resize(256);
    for (unsigned i = 0; i < 256; i++)
        picture.palette[i] = {screen.palette[3 * i], screen.palette[3 * i + 1], screen.palette[3 * i + 2]};
    return picture;
}

void to_rgb32(const Screen& screen, std::uint32_t* out, const Rgb32Layout& layout) {
    std::uint32_t colour[256];
    for (unsigned i = 0; i < 256; i++)
        colour[i] = layout.rest | std::uint32_t(screen.palette[3 * i]) << layout.red_shift |
                    std::uint32_t(screen.palette[3 * i + 1]) << layout.green_shift |
                    std::uint32_t(screen.palette[3 * i + 2]) << layout.blue_shift;
    for (std::size_t i = 0; i < screen.pixels.size(); i++) out[i] = colour[screen.pixels[i]];
}

}  // namespace play
