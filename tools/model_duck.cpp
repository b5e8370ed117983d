// Model 1: a swimming duck, long along y (bill towards -y), up towards -z. A plump
// body with a raised tail, a round head on a short neck and a flat bill whose base is
// left open inside the head; the show draws this model with all its faces.
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "models.h"

namespace models {

namespace {

using mesh::Point;
using mesh::Ring;

constexpr double kPi = std::numbers::pi;

mesh::Mesh body() {
    const int around = 16, rings = 11;
    std::vector<Ring> rs;
    for (int i = 1; i <= rings; i++) {
        double t = double(i) / (rings + 1), s = 2 * t - 1;
        double swell = std::sqrt(1 - s * s);
        double half_width = 0.62 * std::pow(swell, 0.8) * (1.05 - 0.3 * t);
        double half_height = 0.6 * std::pow(swell, 0.9) * (1.0 - 0.25 * t);
        double centre = -0.05 - 0.45 * std::pow(t, 4);  // the tail lifts
        Ring r;
        for (int j = 0; j < around; j++) {
            double a = 2 * kPi * j / around;
            double down = std::sin(a);
            // Flatter below the waterline than above it.
            r.push_back({half_width * std::cos(a), -0.95 + 2.05 * t, centre + half_height * down * (down > 0 ? 0.7 : 1)});
        }
        rs.push_back(r);
    }
    Point chest{0, -0.98, 0.0}, tail{0, 1.25, -0.6};
    return mesh::loft(rs, &chest, &tail);
}

mesh::Mesh head() {
    const int around = 12, rings = 4;
    const Point c{0, -0.72, -0.95};
    std::vector<Ring> rs;
    for (int i = 1; i <= rings; i++) {
        double a = kPi * i / (rings + 1);
        Ring r;
        for (int j = 0; j < around; j++) {
            double b = 2 * kPi * j / around;
            // Round at the crown, fuller at the cheeks, running down into the neck.
            double x = 0.28 * std::sin(a) * std::cos(b), z = 0.3 * std::sin(a) * std::sin(b);
            if (z > 0) z *= 1.0 + 1.2 * std::sin(a) * std::sin(b);
            r.push_back({c.x + x, c.y - 0.32 * std::cos(a), c.z + z});
        }
        rs.push_back(r);
    }
    Point front{c.x, c.y - 0.32, c.z}, back{c.x, c.y + 0.32, c.z + 0.05};
    return mesh::loft(rs, &front, &back);
}

// The bill: wider and flatter towards its rounded tip, its base inside the head.
mesh::Mesh bill() {
    const int around = 10;
    std::vector<Ring> rs;
    const double ys[] = {-0.92, -1.2, -1.36}, widths[] = {0.12, 0.15, 0.12}, heights[] = {0.07, 0.04, 0.03},
                 zs[] = {-0.9, -0.86, -0.85};
    for (int i = 0; i < 3; i++) {
        Ring r;
        for (int j = 0; j < around; j++) {
            double a = 2 * kPi * j / around;
            r.push_back({widths[i] * std::cos(a), ys[i], zs[i] + heights[i] * std::sin(a)});
        }
        rs.push_back(r);
    }
    Point tip{0, -1.42, -0.85};
    return mesh::loft(rs, nullptr, &tip);
}

}  // namespace

mesh::Model duck() {
    mesh::Mesh m;
    for (mesh::Mesh part : {body(), head(), bill()}) {
        mesh::orient_outward(part);
        m.append(part);
    }
    if (!mesh::split_to_counts(m, 268, 516)) throw std::logic_error("duck: counts out of reach");
    mesh::fit_extents(m, 908, 1892, 1130);
    return mesh::quantise(m);
}

}  // namespace models
