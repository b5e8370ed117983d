// Model 0: the name VELMARIS as a slab 120 units thick, the letters standing on their
// own feet side by side and the word running down the y axis (letter tops towards +x),
// 1260 units high and 5080 long. The A is drawn as a bare chevron, without bar or
// counter; the R keeps its counter.
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "models.h"
#include "polygon.h"

namespace models {

namespace {

using mesh::Outline;
using mesh::Point2;

constexpr double kPi = std::numbers::pi;

// Letters are drawn in their own frame: u along the word, w up from the baseline.
struct Letter {
    double width;
    Outline outer;
    std::vector<Outline> holes;
};

Point2 on_ellipse(double cu, double cw, double ru, double rw, double degrees) {
    double t = degrees * kPi / 180.0;
    return {cu + ru * std::cos(t), cw + rw * std::sin(t)};
}

// Points along an elliptic arc from a to b degrees in n steps, both ends included.
void arc(Outline& o, double cu, double cw, double ru, double rw, double a, double b, int n) {
    for (int i = 0; i <= n; i++) o.push_back(on_ellipse(cu, cw, ru, rw, a + (b - a) * i / n));
}

Letter letter_v() { return {680, {{0, 1260}, {180, 1260}, {340, 330}, {500, 1260}, {680, 1260}, {430, 0}, {250, 0}}, {}}; }

Letter letter_e() {
    return {590,
            {{0, 0}, {590, 0}, {590, 120}, {150, 120}, {150, 570}, {500, 570}, {500, 690}, {150, 690}, {150, 1140},
             {590, 1140}, {590, 1260}, {0, 1260}},
            {}};
}

Letter letter_l() { return {480, {{0, 0}, {480, 0}, {480, 120}, {150, 120}, {150, 1260}, {0, 1260}}, {}}; }

Letter letter_m() {
    return {720,
            {{0, 0}, {150, 0}, {150, 900}, {300, 330}, {420, 330}, {570, 900}, {570, 0}, {720, 0}, {720, 1260},
             {560, 1260}, {360, 560}, {160, 1260}, {0, 1260}},
            {}};
}

Letter letter_a() { return {640, {{0, 0}, {160, 0}, {320, 950}, {480, 0}, {640, 0}, {410, 1260}, {230, 1260}}, {}}; }

Letter letter_r() {
    Outline outer{{0, 0}, {150, 0}, {150, 540}, {270, 540}, {400, 0}, {560, 0}};
    arc(outer, 300, 900, 260, 360, -62, 90, 14);
    outer.push_back({0, 1260});
    Outline counter{{150, 660}};
    arc(counter, 300, 900, 125, 240, -90, 90, 12);
    counter.push_back({150, 1140});
    return {560, outer, {counter}};
}

Letter letter_i() { return {150, {{0, 0}, {150, 0}, {150, 1260}, {0, 1260}}, {}}; }

// The S: a stroke 130 wide along two stacked elliptic loops, the upper one turning
// anticlockwise from its terminal, the lower one clockwise down to its own.
Letter letter_s() {
    const double stroke = 130, ru = 245 - stroke / 2, rw = (630 - stroke / 2) / 2;
    const double upper = 630 + rw, lower = 630 - rw;
    Outline spine;
    arc(spine, 245, upper, ru, rw, 25, 180, 26);
    spine.pop_back();
    arc(spine, 245, upper, ru, rw, 180, 270, 15);
    spine.pop_back();
    arc(spine, 245, lower, ru, rw, 90, 0, 15);
    spine.pop_back();
    arc(spine, 245, lower, ru, rw, 0, -155, 25);
    Outline left, right;
    for (std::size_t i = 0; i < spine.size(); i++) {
        Point2 a = spine[i == 0 ? 0 : i - 1], b = spine[i + 1 < spine.size() ? i + 1 : i];
        double tu = b.x - a.x, tw = b.y - a.y, len = std::hypot(tu, tw);
        double nu = -tw / len * stroke / 2, nw = tu / len * stroke / 2;
        left.push_back({spine[i].x + nu, spine[i].y + nw});
        right.push_back({spine[i].x - nu, spine[i].y - nw});
    }
    Outline outer = left;
    outer.insert(outer.end(), right.rbegin(), right.rend());
    return {490, outer, {}};
}

// Letter frame to model plane: the word runs along +y from y = -2540, the baseline
// lies at x = -630. Points are rounded to whole units before anything is built on them.
Outline place(const Outline& o, double start, bool anticlockwise) {
    Outline out;
    for (const Point2& p : o) out.push_back({std::round(p.y) - 630, std::round(p.x + start) - 2540});
    if ((mesh::area2(out) > 0) != anticlockwise) out = Outline(out.rbegin(), out.rend());
    return out;
}

// Puts the vertex at `at` in place 0 and gives the first face not touching it the
// places a, b, c; that face goes first.
void pin(mesh::Model& m, std::array<int, 3> at, mesh::Face first) {
    int v = -1;
    for (int i = 0; i < int(m.vertices.size()) && v < 0; i++)
        if (m.vertices[i] == at) v = i;
    if (v < 0) throw std::logic_error("velmaris: no vertex at the pinned place");
    mesh::swap_vertices(m, v, 0);
    std::size_t f = 0;
    while (m.faces[f][0] == 0 || m.faces[f][1] == 0 || m.faces[f][2] == 0) f++;
    for (int c = 0; c < 3; c++) mesh::swap_vertices(m, m.faces[f][c], first[c]);
    std::swap(m.faces[f], m.faces[0]);
}

}  // namespace

mesh::Model velmaris() {
    const Letter letters[] = {letter_v(), letter_e(), letter_l(), letter_m(),
                              letter_a(), letter_r(), letter_i(), letter_s()};
    const double gap = 110;
    mesh::Mesh m;
    double start = 0;
    for (const Letter& l : letters) {
        std::vector<Outline> holes;
        for (const Outline& h : l.holes) holes.push_back(place(h, start, false));
        mesh::Mesh slab = mesh::extrude(place(l.outer, start, true), holes, -60, 60);
        if (slab.faces.size() != 4 * (slab.points.size() / 2) - 4 + 4 * holes.size())
            throw std::logic_error("velmaris: a letter did not triangulate");
        m.append(slab);
        start += l.width + gap;
    }
    mesh::Model model = mesh::quantise(m);
    pin(model, {-510, -900, 60}, {328, 98, 194});
    return model;
}

}  // namespace models
