#include "play/convert.h"

#include <cstring>
#include <vector>

namespace play {
namespace {

// Fills the scaled row out from the box row in, one value of table per pixel, each
// repeated scale times.
template <typename T>
void widen(const std::uint8_t* in, const T* table, unsigned scale, T* out) {
    if (scale == 1) {
        for (unsigned x = 0; x < Screen::kWidth; x++) out[x] = table[in[x]];
        return;
    }
    for (unsigned x = 0; x < Screen::kWidth; x++, out += scale) {
        T value = table[in[x]];
        for (unsigned k = 0; k < scale; k++) out[k] = value;
    }
}

// The scaled row (or chroma row) `row` of a plane, drawn once and copied for the rows
// that show the same box rows: draw(row) draws it, same(a, b) says whether rows a and
// b show the same.
template <typename Draw, typename Same>
void fill_rows(Plane plane, unsigned rows, std::size_t row_bytes, Draw draw, Same same) {
    for (unsigned r = 0; r < rows; r++) {
        std::uint8_t* out = plane.data + std::ptrdiff_t(r) * plane.stride;
        if (r > 0 && same(r - 1, r))
            std::memcpy(out, out - plane.stride, row_bytes);
        else
            draw(r, out);
    }
}

}  // namespace

void to_yuv420(const Screen& screen, unsigned scale, Plane y, Plane u, Plane v) {
    std::uint8_t y_of[256], u_of[256], v_of[256];
    std::uint32_t uv_of[256];  // U in the low half, V in the high half: four add up without carrying
    for (int i = 0; i < 256; i++) {
        int r = screen.palette[3 * i], g = screen.palette[3 * i + 1], b = screen.palette[3 * i + 2];
        y_of[i] = std::uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        u_of[i] = std::uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
        v_of[i] = std::uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        uv_of[i] = u_of[i] | std::uint32_t(v_of[i]) << 16;
    }
    const std::uint8_t* px = screen.pixels.data();
    const unsigned width = Screen::kWidth * scale, height = Screen::kHeight * scale;
    fill_rows(
        y, height, width, [&](unsigned r, std::uint8_t* out) { widen(px + r / scale * Screen::kWidth, y_of, scale, out); },
        [&](unsigned a, unsigned b) { return a / scale == b / scale; });

    const unsigned chroma_w = width / 2, chroma_h = height / 2;
    if (scale % 2 == 0) {
        // Every chroma sample lies on one box pixel: that pixel's own, scale / 2 times
        // across and down.
        const unsigned half = scale / 2;
        for (auto [plane, table] : {std::pair{u, u_of}, std::pair{v, v_of}}) {
            const std::uint8_t* of = table;
            fill_rows(
                plane, chroma_h, chroma_w, [&](unsigned r, std::uint8_t* out) { widen(px + r / half * Screen::kWidth, of, half, out); },
                [&](unsigned a, unsigned b) { return a / half == b / half; });
        }
        return;
    }
    // Chroma sample c covers the scaled pixels 2c and 2c + 1 across and down: the box
    // pixels (2c) / scale and (2c + 1) / scale, whose mean it is.
    auto box_of = [scale](unsigned c, unsigned half) { return (2 * c + half) / scale; };
    std::vector<unsigned> left(chroma_w), right(chroma_w);
    for (unsigned c = 0; c < chroma_w; c++) {
        left[c] = box_of(c, 0);
        right[c] = box_of(c, 1);
    }
    for (unsigned r = 0; r < chroma_h; r++) {
        std::uint8_t* u_out = u.data + std::ptrdiff_t(r) * u.stride;
        std::uint8_t* v_out = v.data + std::ptrdiff_t(r) * v.stride;
        if (r > 0 && box_of(r - 1, 0) == box_of(r, 0) && box_of(r - 1, 1) == box_of(r, 1)) {
            std::memcpy(u_out, u_out - u.stride, chroma_w);
            std::memcpy(v_out, v_out - v.stride, chroma_w);
            continue;
        }
        const std::uint8_t* top = px + box_of(r, 0) * Screen::kWidth;
        const std::uint8_t* bottom = px + box_of(r, 1) * Screen::kWidth;
        for (unsigned c = 0; c < chroma_w; c++) {
            unsigned x0 = left[c], x1 = right[c];
            std::uint32_t sum = uv_of[top[x0]] + uv_of[top[x1]] + uv_of[bottom[x0]] + uv_of[bottom[x1]] + 0x20002;
            u_out[c] = std::uint8_t((sum & 0xFFFF) >> 2);
            v_out[c] = std::uint8_t(sum >> 18);
        }
    }
}

void to_bgr0(const Screen& screen, unsigned scale, Plane bgr0) {
    std::uint32_t colour[256];
    for (unsigned i = 0; i < 256; i++) {
        const std::uint8_t bytes[4] = {screen.palette[3 * i + 2], screen.palette[3 * i + 1], screen.palette[3 * i], 0};
        std::memcpy(&colour[i], bytes, 4);
    }
    const std::uint8_t* px = screen.pixels.data();
    const unsigned width = Screen::kWidth * scale;
    fill_rows(
        bgr0, Screen::kHeight * scale, std::size_t(width) * 4,
        [&](unsigned r, std::uint8_t* out) {
            // Rows of a frame buffer are aligned for 32-bit pixels.
            widen(px + r / scale * Screen::kWidth, colour, scale, reinterpret_cast<std::uint32_t*>(out));
        },
        [&](unsigned a, unsigned b) { return a / scale == b / scale; });
}

}  // namespace play
