// Model 3: a forward-swept-wing research jet in flight, nose towards -y, span along x,
// up towards -z. A lofted fuselage with a nose boom, canopy and side intakes; wings
// swept forward, canards ahead of them, a fin, rear strakes and an open nozzle. Parts
// that meet the fuselage are left open where they sink into it. As a modelling
// program would store it, each point is kept once per smooth panel that uses it, so
// that creases between panels carry their own copies.
#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <numeric>
#include <stdexcept>

#include "models.h"
#include "polygon.h"

namespace models {

namespace {

using mesh::Point;
using mesh::Ring;

constexpr double kPi = std::numbers::pi;

// Flattened round section with the given half sizes.
Ring section(double y, double half_width, double half_height, double centre, int around) {
    Ring r;
    for (int j = 0; j < around; j++) {
        double a = 2 * kPi * j / around, c = std::cos(a), s = std::sin(a);
        // A squarer section than an ellipse: |c|^0.8, |s|^0.8 with their signs.
        double x = std::copysign(std::pow(std::abs(c), 0.8), c), z = std::copysign(std::pow(std::abs(s), 0.8), s);
        r.push_back({half_width * x, y, centre + half_height * z * (z > 0 ? 0.85 : 1)});
    }
    return r;
}

mesh::Mesh fuselage() {
    struct Station {
        double y, half_width, half_height, centre;
    };
    const Station stations[] = {{-6.5, 0.2, 0.18, 0.02},   {-5.5, 0.42, 0.38, 0},   {-4.2, 0.56, 0.52, -0.03},
                                {-2.6, 0.64, 0.6, -0.04},  {-0.8, 0.68, 0.6, -0.02}, {1.2, 0.7, 0.58, 0},
                                {3.3, 0.63, 0.53, 0},      {5.2, 0.5, 0.44, 0},      {6.5, 0.4, 0.36, 0}};
    std::vector<Ring> rings;
    for (const Station& s : stations) rings.push_back(section(s.y, s.half_width, s.half_height, s.centre, 10));
    Point nose{0, -6.95, 0.04}, tail{0, 6.55, 0};
    return mesh::loft(rings, &nose, &tail);
}

mesh::Mesh nose_boom() {
    std::vector<Ring> rings{section(-6.75, 0.05, 0.05, 0.04, 4), section(-7.55, 0.03, 0.03, 0.04, 4)};
    Point tip{0, -7.75, 0.04};
    return mesh::loft(rings, nullptr, &tip);
}

mesh::Mesh canopy() {
    const Point c{0, -4.0, -0.5};
    std::vector<Ring> rings;
    for (int i = 1; i <= 3; i++) {
        double a = kPi * i / 4;
        Ring r;
        for (int j = 0; j < 8; j++) {
            double b = 2 * kPi * j / 8;
            r.push_back({c.x + 0.34 * std::sin(a) * std::cos(b), c.y - 1.25 * std::cos(a),
                         c.z + 0.4 * std::sin(a) * std::sin(b)});
        }
        rings.push_back(r);
    }
    Point front{c.x, c.y - 1.25, c.z + 0.1}, back{c.x, c.y + 1.25, c.z};
    return mesh::loft(rings, &front, &back);
}

// A lifting surface: an aerofoil section lofted from root to tip, its root left open
// (it sits inside the body) and its tip closed flat. `at(s, f, side)` gives the
// point at span fraction s, chord fraction f, on the upper (+1) or lower (-1) side.
template <class Shape>
mesh::Mesh surface(const Shape& at, int stations, const std::vector<double>& chord) {
    std::vector<Ring> rings;
    for (int i = 0; i < stations; i++) {
        double s = double(i) / (stations - 1);
        Ring r;
        for (std::size_t k = 0; k < chord.size(); k++) r.push_back(at(s, chord[k], k == 0 || k + 1 == chord.size() ? 0 : 1));
        for (std::size_t k = chord.size() - 2; k >= 1; k--) r.push_back(at(s, chord[k], -1));
        rings.push_back(r);
    }
    Point tip;
    for (const Point& p : rings.back()) tip = tip + p * (1.0 / double(rings.back().size()));
    return mesh::loft(rings, nullptr, &tip);
}

// Half the thickness of an aerofoil at chord fraction f, as a share of its greatest.
double thickness(double f) { return 2.6 * std::sqrt(f) * (1 - f); }

mesh::Mesh wing(double side) {
    auto at = [side](double s, double f, int up) {
        double x = 0.6 + 3.55 * s, le = 0.9 - 1.9 * s, chord = 3.0 - 1.75 * s;
        double t = 0.09 * chord * thickness(f) * (up > 0 ? 1 : 0.6);
        return Point{side * x, le + f * chord, 0.05 - up * t};
    };
    return surface(at, 4, {0, 0.08, 0.3, 0.65, 1.0});
}

mesh::Mesh canard(double side) {
    auto at = [side](double s, double f, int up) {
        double x = 0.9 + 1.6 * s, le = -3.2 + 1.25 * s, chord = 1.7 - 1.15 * s;
        double t = 0.06 * chord * thickness(f);
        return Point{side * x, le + f * chord, -0.05 - up * t};
    };
    return surface(at, 3, {0, 0.3, 0.7, 1.0});
}

mesh::Mesh fin() {
    auto at = [](double s, double f, int up) {
        double z = -0.45 - 1.55 * s, le = 3.4 + 1.8 * s, chord = 3.0 - 1.7 * s;
        double t = 0.05 * chord * thickness(f);
        return Point{up * t, le + f * chord, z};
    };
    return surface(at, 3, {0, 0.3, 0.7, 1.0});
}

mesh::Mesh strake(double side) {
    auto at = [side](double s, double f, int up) {
        double x = 0.45 + 0.55 * s, le = 4.2 + 1.0 * s, chord = 2.4 - 1.0 * s;
        return Point{side * x, le + f * chord, 0.15 - up * 0.03};
    };
    return surface(at, 2, {0, 0.5, 1.0});
}

// The side intakes: a D-shaped duct along the fuselage, open at its mouth.
mesh::Mesh intake(double side) {
    const double shape[][2] = {{0.45, -0.2}, {0.8, -0.2}, {0.95, 0.05}, {0.9, 0.35}, {0.5, 0.42}};
    std::vector<Ring> rings(2);
    for (const auto& p : shape) {
        rings[0].push_back({side * p[0], -2.7, p[1]});
        rings[1].push_back({side * p[0], 0.6, p[1]});
    }
    Point back{side * 0.7, 0.6, 0.1};
    return mesh::loft(rings, nullptr, &back);
}

// The landing gear, let down: a strut from the fuselage to the axle of a wheel.
mesh::Mesh leg(double x, double y, double top, double bottom, double radius, double width) {
    std::vector<Ring> rings{section(0, 0.06, 0.06, 0, 4), section(0, 0.05, 0.05, 0, 4)};
    for (Ring& r : rings)
        for (Point& p : r) p = {x + p.x, y + p.z, &r == &rings[0] ? top : bottom};
    Point foot{x, y, bottom + 0.02};
    mesh::Mesh m = mesh::loft(rings, nullptr, &foot);
    mesh::orient_outward(m);
    mesh::Outline hexagon;
    for (int k = 0; k < 6; k++) hexagon.push_back({y + radius * std::cos(kPi * k / 3), bottom + radius * std::sin(kPi * k / 3)});
    mesh::Mesh wheel = mesh::extrude(hexagon, {}, x - width / 2, x + width / 2);
    for (Point& p : wheel.points) p = {p.z, p.x, p.y};
    mesh::orient_outward(wheel);
    m.append(wheel);
    return m;
}

mesh::Mesh nozzle() {
    std::vector<Ring> rings{section(6.25, 0.37, 0.37, 0, 10), section(7.25, 0.31, 0.31, 0, 10)};
    Point inside{0, 6.15, 0};
    return mesh::loft(rings, &inside, nullptr);
}

// Gives each point one copy per smooth panel: panels grow across the flattest edges
// first, and stop growing when the copies come down to `vertices` (at least the number
// of distinct points).
mesh::Model split_at_creases(const mesh::Model& m, int vertices) {
    std::map<std::array<int, 3>, int> where;
    std::vector<int> pos(m.vertices.size());
    for (std::size_t k = 0; k < m.vertices.size(); k++) pos[k] = where.emplace(m.vertices[k], int(where.size())).first->second;
    auto normal = [&](const mesh::Face& f) {
        Point p[3];
        for (int c = 0; c < 3; c++) {
            const auto& v = m.vertices[f[c]];
            p[c] = {double(v[0]), double(v[1]), double(v[2])};
        }
        Point n = mesh::cross(p[1] - p[0], p[2] - p[0]);
        return n * (1.0 / mesh::length(n));
    };
    struct Join {
        double bend;
        int a, b;
    };
    std::map<std::pair<int, int>, std::vector<int>> on_edge;
    for (int f = 0; f < int(m.faces.size()); f++)
        for (int k = 0; k < 3; k++) {
            int a = pos[m.faces[f][k]], b = pos[m.faces[f][(k + 1) % 3]];
            on_edge[{std::min(a, b), std::max(a, b)}].push_back(f);
        }
    std::vector<Join> joins;
    for (const auto& [e, faces] : on_edge)
        if (faces.size() == 2)
            joins.push_back({1 - mesh::dot(normal(m.faces[faces[0]]), normal(m.faces[faces[1]])), faces[0], faces[1]});
    std::stable_sort(joins.begin(), joins.end(), [](const Join& x, const Join& y) { return x.bend < y.bend; });

    std::vector<int> panel(m.faces.size());
    std::iota(panel.begin(), panel.end(), 0);
    std::vector<int> size(m.faces.size(), 1);
    // No path shortening: a trial join must be undone exactly.
    auto root = [&](int f) {
        while (panel[f] != f) f = panel[f];
        return f;
    };
    auto copies = [&] {
        std::vector<std::pair<int, int>> uses;
        for (int f = 0; f < int(m.faces.size()); f++)
            for (int c : m.faces[f]) uses.push_back({pos[c], root(f)});
        std::sort(uses.begin(), uses.end());
        return int(std::unique(uses.begin(), uses.end()) - uses.begin());
    };
    int count = copies();
    for (const Join& j : joins) {
        if (count == vertices) break;
        int ra = root(j.a), rb = root(j.b);
        if (ra == rb) continue;
        if (size[ra] < size[rb]) std::swap(ra, rb);
        panel[rb] = ra;
        int now = copies();
        if (now < vertices) {
            panel[rb] = rb;
            continue;
        }
        size[ra] += size[rb];
        count = now;
    }
    // Joining two panels may save more than one copy at once; the last few copies over
    // the count are shared with the point's first copy instead.
    int excess = count - vertices;
    mesh::Model out;
    std::map<std::pair<int, int>, int> index;
    std::map<int, int> first;
    for (int f = 0; f < int(m.faces.size()); f++) {
        mesh::Face t;
        for (int c = 0; c < 3; c++) {
            int p = pos[m.faces[f][c]];
            auto found = index.find({p, root(f)});
            if (found == index.end()) {
                auto earlier = first.find(p);
                int id = int(out.vertices.size());
                if (earlier != first.end() && excess > 0) {
                    id = earlier->second;
                    excess--;
                } else {
                    out.vertices.push_back(m.vertices[m.faces[f][c]]);
                    first.emplace(p, id);
                }
                found = index.emplace(std::pair{p, root(f)}, id).first;
            }
            t[c] = found->second;
        }
        out.faces.push_back(t);
    }
    return out;
}

}  // namespace

mesh::Model x29() {
    mesh::Mesh m;
    for (mesh::Mesh part : {fuselage(), nose_boom(), canopy(), intake(1), intake(-1), wing(1), wing(-1), canard(1),
                            canard(-1), fin(), strake(1), strake(-1), nozzle(), leg(0, -4.6, 0.3, 1.3, 0.22, 0.14),
                            leg(0.85, 1.6, 0.4, 1.25, 0.3, 0.18), leg(-0.85, 1.6, 0.4, 1.25, 0.3, 0.18)}) {
        mesh::orient_outward(part);
        m.append(part);
    }
    if (!mesh::split_to_counts(m, 519, 779)) throw std::logic_error("x29: counts out of reach");
    mesh::fit_extents(m, 1540, 2792, 561);
    return split_at_creases(mesh::quantise(m), 929);
}

}  // namespace models
