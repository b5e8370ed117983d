#include "canvas.h"

#include <algorithm>
#include <cmath>

namespace canvas {

PalettePicture blank(int width, int height, std::uint8_t fill) {
    PalettePicture p;
    p.width = width;
    p.height = height;
    p.pixels.assign(std::size_t(width) * std::size_t(height), fill);
    return p;
}

void blit(PalettePicture& dst, const PalettePicture& src, int x, int y, bool transparent, int offset) {
    for (int j = 0; j < src.height; j++)
        for (int i = 0; i < src.width; i++) {
            int dx = x + i, dy = y + j;
            if (dx < 0 || dy < 0 || dx >= dst.width || dy >= dst.height) continue;
            std::uint8_t v = src.pixels[std::size_t(j) * src.width + i];
            if (transparent && v == 0) continue;
            dst.pixels[std::size_t(dy) * dst.width + dx] = std::uint8_t(v + offset);
        }
}

void triangle(PalettePicture& dst, double x0, double y0, double x1, double y1, double x2, double y2,
              std::uint8_t colour) {
    double area = (x1 - x0) * (y2 - y0) - (y1 - y0) * (x2 - x0);
    if (area == 0) return;
    int top = std::max(0, int(std::floor(std::min({y0, y1, y2}))));
    int bottom = std::min(dst.height - 1, int(std::ceil(std::max({y0, y1, y2}))));
    int left = std::max(0, int(std::floor(std::min({x0, x1, x2}))));
    int right = std::min(dst.width - 1, int(std::ceil(std::max({x0, x1, x2}))));
    auto side = [&](double ax, double ay, double bx, double by, double px, double py) {
        return ((bx - ax) * (py - ay) - (by - ay) * (px - ax)) * (area > 0 ? 1 : -1);
    };
    for (int y = top; y <= bottom; y++)
        for (int x = left; x <= right; x++) {
            double px = x + 0.5, py = y + 0.5;
            if (side(x0, y0, x1, y1, px, py) >= 0 && side(x1, y1, x2, y2, px, py) >= 0 &&
                side(x2, y2, x0, y0, px, py) >= 0)
                dst.pixels[std::size_t(y) * dst.width + x] = colour;
        }
}

void draw_model(PalettePicture& dst, const mesh::Model& m, const View& v, int x, int y, int size, int first,
                int count, bool two_sided) {
    auto axis = [](const std::array<int, 3>& p, int a, int s) { return double(p[a] * s); };
    double reach = 1;
    for (const auto& p : m.vertices)
        reach = std::max({reach, std::abs(axis(p, v.right_axis, 1)), std::abs(axis(p, v.down_axis, 1))});
    double scale = (size / 2 - 2) / reach;
    struct Drawn {
        double depth;
        std::size_t face;
    };
    std::vector<Drawn> order;
    for (std::size_t f = 0; f < m.faces.size(); f++) {
        double d = 0;
        for (int c : m.faces[f]) d += axis(m.vertices[c], v.depth_axis, v.depth_sign);
        order.push_back({d, f});
    }
    std::stable_sort(order.begin(), order.end(), [](const Drawn& a, const Drawn& b) { return a.depth > b.depth; });
    // Light from the viewer, a little from the upper left.
    const mesh::Point light = mesh::Point{-0.35, -0.45, -1.0} * (1.0 / std::sqrt(0.35 * 0.35 + 0.45 * 0.45 + 1.0));
    for (const Drawn& d : order) {
        mesh::Point p[3];
        for (int c = 0; c < 3; c++) {
            const auto& q = m.vertices[m.faces[d.face][c]];
            p[c] = {axis(q, v.right_axis, v.right_sign), axis(q, v.down_axis, v.down_sign),
                    axis(q, v.depth_axis, v.depth_sign)};
        }
        mesh::Point n = mesh::cross(p[1] - p[0], p[2] - p[0]);
        double len = mesh::length(n);
        if (len == 0) continue;
        n = n * (1.0 / len);
        double facing = mesh::dot(n, light);
        if (facing < 0 && !two_sided) continue;
        int level = std::min(count - 1, int((0.25 + 0.75 * std::abs(facing)) * count));
        double cx = x + size / 2.0, cy = y + size / 2.0;
        triangle(dst, cx + p[0].x * scale, cy + p[0].y * scale, cx + p[1].x * scale, cy + p[1].y * scale,
                 cx + p[2].x * scale, cy + p[2].y * scale, std::uint8_t(first + level));
    }
}

}  // namespace canvas
