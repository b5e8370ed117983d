#include "pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "canvas.h"

namespace pictures {

namespace {

using Colour = std::array<std::uint8_t, 3>;

struct Key {
    double at;
    Colour colour;
};

// The colour at t along a gradient of keys (t from 0 to 1, keys in order).
Colour gradient(const std::vector<Key>& keys, double t) {
    t = std::clamp(t, 0.0, 1.0);
    std::size_t i = 1;
    while (i + 1 < keys.size() && t > keys[i].at) i++;
    double u = (t - keys[i - 1].at) / (keys[i].at - keys[i - 1].at);
    Colour c;
    for (int k = 0; k < 3; k++)
        c[k] = std::uint8_t(std::lround(keys[i - 1].colour[k] + u * (keys[i].colour[k] - keys[i - 1].colour[k])));
    return c;
}

void put(PalettePicture& p, int x, int y, std::uint8_t v) {
    if (x >= 0 && y >= 0 && x < p.width && y < p.height) p.pixels[std::size_t(y) * p.width + x] = v;
}

// Picture 0's palette, by use.
enum : std::uint8_t {
    kBlack = 0,
    kSky = 1,         // 24 bands, top to bottom
    kGold = 25,       // 10 steps of the big letters, top to bottom
    kOutline = 35,
    kStarWhite = 36,
    kStarYellow = 37,
    kStarBlue = 38,
    kStarDim = 39,
    kInk = 40,
    kInkShadow = 41,
    kHillFar = 42,
    kHillNear = 43,
    kSpark = 48,  // 6 steps from the white core out to the tips of the rays
};
constexpr int kSkyBands = 24, kGoldSteps = 10, kSparkSteps = 6;

std::vector<Colour> prelude_palette() {
    std::vector<Colour> pal(kSpark + kSparkSteps, Colour{0, 0, 0});
    const std::vector<Key> sky{{0, {4, 4, 26}}, {0.55, {30, 16, 66}}, {0.85, {78, 32, 92}}, {1, {128, 54, 96}}};
    for (int i = 0; i < kSkyBands; i++) pal[kSky + i] = gradient(sky, (i + 0.5) / kSkyBands);
    const std::vector<Key> gold{{0, {255, 252, 214}}, {0.35, {255, 216, 96}}, {0.7, {246, 150, 44}}, {1, {204, 84, 30}}};
    for (int i = 0; i < kGoldSteps; i++) pal[kGold + i] = gradient(gold, double(i) / (kGoldSteps - 1));
    pal[kOutline] = {26, 8, 44};
    pal[kStarWhite] = {255, 255, 255};
    pal[kStarYellow] = {255, 240, 186};
    pal[kStarBlue] = {186, 204, 255};
    pal[kStarDim] = {116, 116, 168};
    pal[kInk] = {226, 214, 255};
    pal[kInkShadow] = {18, 8, 36};
    pal[kHillFar] = {26, 12, 44};
    pal[kHillNear] = {10, 5, 22};
    const std::vector<Key> spark{{0, {255, 255, 255}}, {0.4, {255, 246, 196}}, {0.7, {255, 214, 120}}, {1, {236, 150, 90}}};
    for (int i = 0; i < kSparkSteps; i++) pal[kSpark + i] = gradient(spark, double(i) / (kSparkSteps - 1));
    return pal;
}

// A four-pointed star: rays tapering from the centre, shaded from the white core out.
void star(PalettePicture& p, int cx, int cy, int reach, int core, bool diagonals) {
    auto shade = [&](double d, double r) { return std::uint8_t(kSpark + std::min(kSparkSteps - 1, int(d / r * kSparkSteps))); };
    for (int d = 0; d <= reach; d++) {
        int half = int(std::lround(2.0 * (1.0 - double(d) / reach)));
        for (int w = -half; w <= half; w++) {
            std::uint8_t v = shade(d + std::abs(w) * 3, reach);
            put(p, cx + d, cy + w, v);
            put(p, cx - d, cy + w, v);
            put(p, cx + w, cy + d, v);
            put(p, cx + w, cy - d, v);
        }
    }
    if (diagonals)
        for (int d = 0; d <= reach / 2; d++) {
            std::uint8_t v = shade(d * 2, reach);
            put(p, cx + d, cy + d, v);
            put(p, cx - d, cy + d, v);
            put(p, cx + d, cy - d, v);
            put(p, cx - d, cy - d, v);
        }
    for (int y = -core; y <= core; y++)
        for (int x = -core; x <= core; x++)
            if (x * x + y * y <= core * core) put(p, cx + x, cy + y, kSpark);
}

// A fixed-seed sequence for placing stars.
struct Dice {
    std::uint32_t s;
    int roll(int n) {
        s = s * 1103515245u + 12345u;
        return int((s >> 16) % std::uint32_t(n));
    }
};

}  // namespace

PalettePicture prelude(const glyphs::Glyphs& g) {
    PalettePicture p = canvas::blank(640, 480);
    p.palette = prelude_palette();
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) p.pixels[std::size_t(y) * 640 + x] = std::uint8_t(kSky + y * kSkyBands / 480);

    // Stars, fewer towards the horizon; none where the words go.
    Dice dice{20240611u};
    for (int n = 0; n < 150; n++) {
        int x = dice.roll(640), y = dice.roll(420);
        if (dice.roll(420) < y) continue;
        if (y > 150 && y < 320 && x > 20 && x < 620) continue;
        std::uint8_t c = std::uint8_t(kStarWhite + dice.roll(4));
        put(p, x, y, c);
        if (dice.roll(6) == 0) {
            put(p, x - 1, y, kStarDim);
            put(p, x + 1, y, kStarDim);
            put(p, x, y - 1, kStarDim);
            put(p, x, y + 1, kStarDim);
        }
    }
    // The two stars that twinkle.
    for (const auto& spot : kSpriteSpots) star(p, spot[0] + kSpriteWidth / 2, spot[1] + kSpriteHeight / 2, 7, 1, false);

    // Hills along the bottom, a far and a near line.
    for (int x = 0; x < 640; x++) {
        double far = 436 + 14 * std::sin(x / 71.0 + 0.5) + 7 * std::sin(x / 23.0 + 1.0);
        double near = 458 + 12 * std::sin(x / 97.0 + 2.0) + 5 * std::sin(x / 31.0);
        for (int y = int(far); y < 480; y++) put(p, x, y, y >= int(near) ? kHillNear : kHillFar);
    }

    // THANK YOU in big gold letters with a dark rim and shadow.
    const std::string big = "THANK YOU";
    const int scale = 8, advance = 64, top = 168;
    const int left = (640 - (int(big.size()) - 1) * advance - glyphs::kWidth * scale) / 2;
    glyphs::set_text(g, big, left + 5, top + 5, scale, advance, [&](int x, int y, int) { put(p, x, y, kOutline); });
    glyphs::set_text(g, big, left, top, scale, advance, [&](int x, int y, int) {
        for (int dy = -3; dy <= 3; dy++)
            for (int dx = -3; dx <= 3; dx++)
                if (dx * dx + dy * dy <= 10) put(p, x + dx, y + dy, kOutline);
    });
    glyphs::set_text(g, big, left, top, scale, advance, [&](int x, int y, int) {
        put(p, x, y, std::uint8_t(kGold + (y - top) * kGoldSteps / (7 * scale)));
    });

    const std::string lines[] = {"for bringing the box home", "from all of us at Velmaris"};
    for (int i = 0; i < 2; i++) {
        const std::string& s = lines[i];
        int x = (640 - int(s.size()) * 16 + 2) / 2, y = 262 + 30 * i;
        glyphs::set_text(g, s, x + 2, y + 2, 2, 16, [&](int px, int py, int) { put(p, px, py, kInkShadow); });
        glyphs::set_text(g, s, x, y, 2, 16, [&](int px, int py, int) { put(p, px, py, kInk); });
    }
    return p;
}

PalettePicture sprite(int frame) {
    PalettePicture p = canvas::blank(kSpriteWidth, kSpriteHeight);
    p.palette = prelude_palette();
    const int reach[3] = {30, 20, 12}, core[3] = {3, 2, 2};
    star(p, kSpriteWidth / 2, kSpriteHeight / 2, reach[frame - 1], core[frame - 1], frame < 3);
    return p;
}

PalettePicture logo(const glyphs::Glyphs& g) {
    PalettePicture p = canvas::blank(256, 256);
    const std::vector<Key> ramp{{0, {0, 0, 0}}, {0.3, {18, 28, 116}}, {0.55, {56, 86, 204}}, {0.8, {86, 196, 236}}, {1, {236, 250, 255}}};
    for (int i = 0; i < 256; i++) p.palette.push_back(gradient(ramp, i / 255.0));
    auto at = [&](int x, int y) -> std::uint8_t& { return p.pixels[std::size_t(y & 255) * 256 + (x & 255)]; };
    // Light falls from the upper left.
    auto lit = [](double nx, double ny) { return std::clamp(-(nx + ny) / std::sqrt(2.0), -1.0, 1.0); };
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 256; x++) {
            // Offsets from the tile's centre and from its corner, wrapping round the
            // tile so that neighbours join up.
            double dx = x - 128 + 0.5, dy = y - 128 + 0.5;
            double cx = ((x + 128) & 255) - 128 + 0.5, cy = ((y + 128) & 255) - 128 + 0.5;
            double r = std::hypot(dx, dy);
            std::uint8_t& v = at(x, y);
            // Bars joining each ring to its neighbours.
            if ((std::abs(dy) < 6 || std::abs(dx) < 6) && r > 70) {
                double across = std::abs(dy) < 6 ? dy : dx;
                v = std::uint8_t(96 + 60 * (1 - std::abs(across) / 6));
            }
            // A diamond frame where four tiles meet.
            double diamond = std::abs(cx) + std::abs(cy);
            if (diamond < 36 && diamond > 20) v = std::uint8_t(150 + 70 * lit(cx > 0 ? 1 : -1, cy > 0 ? 1 : -1) * (diamond > 28 ? 1 : -1));
            // The ring, bevelled, and the dark disc inside it.
            if (r < 62) v = 34;
            if (r >= 62 && r <= 80) {
                double bevel = (r - 71) / 9;  // -1 inner edge .. 1 outer edge
                v = std::uint8_t(std::clamp(170 + 75 * lit(dx / r, dy / r) * bevel * (bevel > 0 ? 1 : -1) + 20 * (1 - bevel * bevel), 1.0, 255.0));
            }
        }
    // The V of the name, from the slab logo's own letter, filled with a gradient.
    const double vx[7] = {0, 180, 340, 500, 680, 430, 250}, vy[7] = {1260, 1260, 330, 1260, 1260, 0, 0};
    auto inside_v = [&](double x, double y) {
        bool in = false;
        for (int i = 0, j = 6; i < 7; j = i++) {
            double xi = 128 - 44 + vx[i] * 88 / 680, yi = 128 + 45 - vy[i] * 90 / 1260;
            double xj = 128 - 44 + vx[j] * 88 / 680, yj = 128 + 45 - vy[j] * 90 / 1260;
            if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) in = !in;
        }
        return in;
    };
    for (int y = 70; y < 190; y++)
        for (int x = 70; x < 190; x++) {
            if (!inside_v(x + 0.5, y + 0.5)) continue;
            bool edge = !inside_v(x - 0.5, y + 0.5) || !inside_v(x + 1.5, y + 0.5) || !inside_v(x + 0.5, y - 0.5) ||
                        !inside_v(x + 0.5, y + 1.5);
            at(x, y) = edge ? 250 : std::uint8_t(235 - (y - 83) * 70 / 90);
        }
    // The name below the ring.
    const std::string name = "VELMARIS";
    const int left = (256 - int(name.size()) * 16 + 2) / 2, top = 214;
    glyphs::set_text(g, name, left, top, 2, 16, [&](int x, int y, int) {
        for (int oy = -1; oy <= 1; oy++)
            for (int ox = -1; ox <= 1; ox++) at(x + ox, y + oy) = 12;
    });
    glyphs::set_text(g, name, left, top, 2, 16, [&](int x, int y, int row) { at(x, y) = std::uint8_t(250 - row * 8); });
    return p;
}

}  // namespace pictures
