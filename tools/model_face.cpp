// Model 2: a face, worn like a mask: a sheet bent round from ear to ear, looking
// towards -y with the top of the head towards -z. Brow, nose, cheeks, lips and chin
// are shaped into the sheet; the eyes and the mouth are holes. The show draws this
// model with all its faces.
#include <cmath>
#include <algorithm>
#include <numbers>
#include <stdexcept>

#include "models.h"

namespace models {

namespace {

using mesh::Point;

constexpr double kPi = std::numbers::pi;

double bump(double x, double y, double cx, double cy, double sx, double sy) {
    double dx = (x - cx) / sx, dy = (y - cy) / sy;
    return std::exp(-(dx * dx + dy * dy));
}

constexpr int kColumns = 21, kRows = 19;

// Across the face, in degrees round the head: closer together in the middle.
double column_angle(int j) {
    double u = 2.0 * j / (kColumns - 1) - 1;
    return 95.0 * (u < 0 ? -1 : 1) * std::pow(std::abs(u), 1.25);
}

// Down the face, from the top of the forehead (1) to under the chin (-1).
double row_height(int i) { return 1.0 - 2.0 * i / (kRows - 1); }

// How far the face stands forward of the plain head shape at angle a, height h.
double relief(double a, double h) {
    double side = std::abs(a);
    double r = 0;
    r += 0.07 * bump(side, h, 22, 0.42, 14, 0.08);   // brows
    r -= 0.08 * bump(side, h, 24, 0.25, 10, 0.1);    // eye sockets
    r += 0.05 * bump(side, h, 36, -0.05, 12, 0.18);  // cheekbones
    // The nose: a ridge from between the eyes, deepest at its tip.
    double ridge = bump(side, h, 0, 0.05, 7, 0.28);
    r += 0.2 * ridge * std::clamp((0.42 - h) / 0.5, 0.0, 1.0);
    r += 0.06 * bump(side, h, 0, -0.36, 14, 0.06);   // upper lip
    r += 0.07 * bump(side, h, 0, -0.52, 13, 0.07);   // lower lip
    r += 0.06 * bump(side, h, 0, -0.78, 16, 0.12);   // chin
    return r;
}

Point surface(double degrees, double h) {
    double a = degrees * kPi / 180;
    // Narrower at the chin and rounding over the top of the forehead.
    double jaw = h < 0 ? 1 - 0.42 * h * h : 1 - 0.28 * std::pow(h, 4);
    double across = 0.62 * jaw, depth = 0.5 * jaw;
    double forward = depth + relief(degrees, h) * std::cos(a);
    return {across * std::sin(a), -forward * std::cos(a), -h};
}

bool is_hole(int i, int j) {
    // Quads, by their top-left grid corner: the eyes two across, the mouth three.
    const int eye_row = 6, mouth_row = 13, mid = kColumns / 2;
    if (i == eye_row && (j == mid - 4 || j == mid - 3 || j == mid + 2 || j == mid + 3)) return true;
    return i == mouth_row && j >= mid - 2 && j <= mid;
}

}  // namespace

mesh::Model face() {
    mesh::Mesh m;
    for (int i = 0; i < kRows; i++)
        for (int j = 0; j < kColumns; j++) m.add(surface(column_angle(j), row_height(i)));
    for (int i = 0; i + 1 < kRows; i++)
        for (int j = 0; j + 1 < kColumns; j++) {
            if (is_hole(i, j)) continue;
            int a = i * kColumns + j;
            m.quad(a, a + 1, a + kColumns + 1, a + kColumns);
        }
    if (!mesh::split_to_counts(m, 410, 718)) throw std::logic_error("face: counts out of reach");
    mesh::fit_extents(m, 1250, 790, 1981);
    return mesh::quantise(m);
}

}  // namespace models
