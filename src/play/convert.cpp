#include "play/convert.h"

#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace play {
namespace {

// Fills the scaled pixels out from the box pixels in[0 .. count), one value of table
// per pixel, each repeated scale times.
template <typename T>
void widen(const std::uint8_t* in, unsigned count, const T* table, unsigned scale, T* out) {
    if (scale == 1) {
        for (unsigned x = 0; x < count; x++) out[x] = table[in[x]];
        return;
    }
    for (unsigned x = 0; x < count; x++, out += scale) {
        T value = table[in[x]];
        for (unsigned k = 0; k < scale; k++) out[k] = value;
    }
}

// The box rows an output row shows: the same one twice, or the two a chroma row
// takes the mean of.
struct Source {
    unsigned top, bottom;
    bool operator==(const Source&) const = default;
};

// The parts of planes (of equal size) that show the changed parts of the box rows:
// source(r) says which box rows row r shows, a chunk of box pixels is chunk_bytes
// bytes of a plane's row, and draw(from, outs, first, end) draws the chunks first ..
// end - 1 of row r of every plane. A row that shows the same box rows as the one above
// it is a copy of that one.
template <std::size_t N, typename SourceOf, typename Draw>
void fill_rows(const std::array<Plane, N>& planes, unsigned rows, unsigned chunk_bytes, const BoxChanges& changes, SourceOf source,
               Draw draw) {
    for (unsigned r = 0; r < rows; r++) {
        const Source from = source(r);
        std::uint64_t chunks = changes[from.top] | changes[from.bottom];
        if (chunks == 0) continue;
        std::array<std::uint8_t*, N> outs;
        for (std::size_t k = 0; k < N; k++) outs[k] = planes[k].data + std::ptrdiff_t(r) * planes[k].stride;
        const bool copy = r > 0 && source(r - 1) == from;
        // Each run of changed chunks at once.
        while (chunks != 0) {
            const unsigned first = unsigned(std::countr_zero(chunks));
            const unsigned end = first + unsigned(std::countr_one(chunks >> first));
            chunks &= end < 64 ? ~std::uint64_t(0) << end : 0;
            if (!copy) {
                draw(from, outs, first, end);
                continue;
            }
            for (std::size_t k = 0; k < N; k++)
                std::memcpy(outs[k] + first * chunk_bytes, outs[k] + first * chunk_bytes - planes[k].stride, (end - first) * chunk_bytes);
        }
    }
}

}  // namespace

BoxChanges changes(const Screen* before, const Screen& after) {
    BoxChanges changed{};
    if (before == nullptr || before->palette != after.palette) {
        changed.fill(kEveryChunk);
        return changed;
    }
    for (unsigned row = 0; row < Screen::kHeight; row++) {
        const std::uint8_t* was = &before->pixels[std::size_t(row) * Screen::kWidth];
        const std::uint8_t* is = &after.pixels[std::size_t(row) * Screen::kWidth];
        if (std::memcmp(was, is, Screen::kWidth) == 0) continue;
        for (unsigned chunk = 0; chunk < kChunks; chunk++) {
            // A chunk as words, compared without a call.
            std::uint64_t a[kChunk / 8], b[kChunk / 8], differ = 0;
            std::memcpy(a, was + chunk * kChunk, kChunk);
            std::memcpy(b, is + chunk * kChunk, kChunk);
            for (unsigned k = 0; k < kChunk / 8; k++) differ |= a[k] ^ b[k];
            if (differ != 0) changed[row] |= std::uint64_t(1) << chunk;
        }
    }
    return changed;
}

void to_yuv420(const Screen& screen, unsigned scale, Plane y, Plane u, Plane v, const BoxChanges& changes) {
    std::uint8_t y_of[256], u_of[256], v_of[256];
    // A pixel's Y, and what it adds to its chroma sample's U and V: Y in the low bits, U
    // from bit 16, V from bit 32, so that four add up without carrying.
    std::uint64_t yuv_of[256];
    constexpr std::uint64_t kRound = std::uint64_t(2) << 16 | std::uint64_t(2) << 32;  // for the mean of four
    for (int i = 0; i < 256; i++) {
        int r = screen.palette[3 * i], g = screen.palette[3 * i + 1], b = screen.palette[3 * i + 2];
        y_of[i] = std::uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        u_of[i] = std::uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
        v_of[i] = std::uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        yuv_of[i] = y_of[i] | std::uint64_t(u_of[i]) << 16 | std::uint64_t(v_of[i]) << 32;
    }
    // Box pixel x of a source row.
    const std::uint8_t* px = screen.pixels.data();
    auto at = [px](unsigned row, unsigned x) { return px + row * Screen::kWidth + x; };
    if (scale == 1) {
        // Unscaled, in one pass over each pair of rows, one look-up a pixel: a chroma
        // sample is the mean of a 2 x 2 block of box pixels.
        for (unsigned r = 0; r < Screen::kHeight / 2; r++) {
            std::uint64_t chunks = changes[2 * r] | changes[2 * r + 1];
            const std::uint8_t* top = at(2 * r, 0);
            const std::uint8_t* bottom = at(2 * r + 1, 0);
            std::uint8_t* y_top = y.data + std::ptrdiff_t(2 * r) * y.stride;
            std::uint8_t* y_bottom = y_top + y.stride;
            std::uint8_t* u_row = u.data + std::ptrdiff_t(r) * u.stride;
            std::uint8_t* v_row = v.data + std::ptrdiff_t(r) * v.stride;
            for (; chunks != 0; chunks &= chunks - 1) {
                const unsigned first = unsigned(std::countr_zero(chunks)) * kChunk / 2;
                for (unsigned c = first; c < first + kChunk / 2; c++) {
                    const std::uint64_t a = yuv_of[top[2 * c]], b = yuv_of[top[2 * c + 1]];
                    const std::uint64_t d = yuv_of[bottom[2 * c]], e = yuv_of[bottom[2 * c + 1]];
                    y_top[2 * c] = std::uint8_t(a);
                    y_top[2 * c + 1] = std::uint8_t(b);
                    y_bottom[2 * c] = std::uint8_t(d);
                    y_bottom[2 * c + 1] = std::uint8_t(e);
                    const std::uint64_t sum = a + b + d + e + kRound;
                    u_row[c] = std::uint8_t(sum >> 18);
                    v_row[c] = std::uint8_t(sum >> 34);
                }
            }
        }
        return;
    }
    fill_rows(std::array{y}, Screen::kHeight * scale, kChunk * scale, changes, [scale](unsigned r) { return Source{r / scale, r / scale}; },
              [&](Source from, auto outs, unsigned first, unsigned end) {
                  widen(at(from.top, first * kChunk), (end - first) * kChunk, y_of, scale, outs[0] + first * kChunk * scale);
              });

    // A chunk of box pixels is chunk_bytes chroma samples: a whole number, as a chunk's
    // width is even.
    const unsigned chroma_h = Screen::kHeight * scale / 2, chunk_bytes = kChunk * scale / 2;
    if (scale % 2 == 0) {
        // Every chroma sample lies on one box pixel: that pixel's own, scale / 2 times
        // across and down.
        const unsigned half = scale / 2;
        fill_rows(std::array{u, v}, chroma_h, chunk_bytes, changes, [half](unsigned r) { return Source{r / half, r / half}; },
                  [&](Source from, auto outs, unsigned first, unsigned end) {
                      const std::uint8_t* in = at(from.top, first * kChunk);
                      widen(in, (end - first) * kChunk, u_of, half, outs[0] + first * chunk_bytes);
                      widen(in, (end - first) * kChunk, v_of, half, outs[1] + first * chunk_bytes);
                  });
        return;
    }
    // Chroma sample c covers the scaled pixels 2c and 2c + 1 across and down: the box
    // pixels (2c) / scale and (2c + 1) / scale, whose mean it is.
    auto box_of = [scale](unsigned c, unsigned half) { return (2 * c + half) / scale; };
    const unsigned chroma_w = Screen::kWidth * scale / 2;
    std::vector<unsigned> left(chroma_w), right(chroma_w);
    for (unsigned c = 0; c < chroma_w; c++) {
        left[c] = box_of(c, 0);
        right[c] = box_of(c, 1);
    }
    fill_rows(std::array{u, v}, chroma_h, chunk_bytes, changes, [&](unsigned r) { return Source{box_of(r, 0), box_of(r, 1)}; },
              [&](Source from, auto outs, unsigned first, unsigned end) {
                  const std::uint8_t* top = at(from.top, 0);
                  const std::uint8_t* bottom = at(from.bottom, 0);
                  auto mean = [&](unsigned c, unsigned x0, unsigned x1) {
                      const std::uint64_t sum = yuv_of[top[x0]] + yuv_of[top[x1]] + yuv_of[bottom[x0]] + yuv_of[bottom[x1]] + kRound;
                      outs[0][c] = std::uint8_t(sum >> 18);
                      outs[1][c] = std::uint8_t(sum >> 34);
                  };
                  for (unsigned c = first * chunk_bytes; c < end * chunk_bytes; c++) mean(c, left[c], right[c]);
              });
}

void to_bgr0(const Screen& screen, unsigned scale, Plane bgr0, const BoxChanges& changes) {
    std::uint32_t colour[256];
    for (unsigned i = 0; i < 256; i++) {
        const std::uint8_t bytes[4] = {screen.palette[3 * i + 2], screen.palette[3 * i + 1], screen.palette[3 * i], 0};
        std::memcpy(&colour[i], bytes, 4);
    }
    const std::uint8_t* px = screen.pixels.data();
    fill_rows(std::array{bgr0}, Screen::kHeight * scale, kChunk * scale * 4, changes,
              [scale](unsigned r) { return Source{r / scale, r / scale}; },
              [&](Source from, auto outs, unsigned first, unsigned end) {
                  // Rows of a frame buffer are aligned for 32-bit pixels.
                  widen(px + from.top * Screen::kWidth + first * kChunk, (end - first) * kChunk, colour, scale,
                        reinterpret_cast<std::uint32_t*>(outs[0]) + first * kChunk * scale);
              });
}

}  // namespace play
