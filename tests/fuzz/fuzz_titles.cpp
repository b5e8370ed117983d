// The end titles with any text and any font size: their set-up lays the text out into
// the text bitmap (lines of any length, empty lines, no 0 byte, any byte values, glyph
// cells from 0 to 32 pixels a side), then a few frames run and everything is freed.
//
// Input: the font's width and height in pixels, halved less one (a byte each), then
// the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "box/emu/emu.h"
#include "data/pngwrite.h"
#include "show/encryption.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/threedee.h"
#include "show/threedee_state.h"

std::FILE* fp;

namespace {

constexpr std::uint32_t kSeed = 0x717135u;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    calc_sinetable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    PalettePicture font;
    font.width = 2 + 2 * data[0];
    font.height = 2 + 2 * data[1];
    font.pixels.resize(std::size_t(font.width) * std::size_t(font.height));
    for (std::size_t i = 0; i < font.pixels.size(); i++) font.pixels[i] = std::uint8_t(i % 7 == 0 ? 0 : i % 5 + 1);
    for (int i = 0; i < 6; i++) font.palette.push_back({std::uint8_t(40 * i), 0, 255});
    std::vector<std::uint8_t> stored = encode_png(font);
    stored.insert(stored.end(), data + 2, data + size);
    simplecrypt(stored.data(), stored.size(), kSeed);

    emu::reset();
    if (init_framebuf() != 0) std::abort();
    using namespace threedee_state;
    // The stars the 3D set-up would leave; the end titles free them.
    stars = static_cast<vec3*>(std::calloc(kStars, sizeof(vec3)));
    srx = static_cast<vec3*>(std::calloc(kStars, sizeof(vec3)));
    srz = static_cast<vec3*>(std::calloc(kStars, sizeof(vec3)));
    sry = static_cast<vec3*>(std::calloc(kStars, sizeof(vec3)));
    for (int s = 0; s < kStars; s++) stars[s] = {s * 31 % 16384 - 8192, s * 17 % 16384 - 8192, s * 7 % 16384 - 8192};
    dps = {0, 0, 5000};

    fp = fmemopen(stored.data(), stored.size(), "rb");
    initcrypt(kSeed);
    theend_init();
    for (int k = 0; k < 3; k++) theend_frame();
    theend_deinit();
    std::fclose(fp);
    fp = nullptr;
    return 0;
}
