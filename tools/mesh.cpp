#include "mesh.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace mesh {

Point operator+(Point a, Point b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Point operator-(Point a, Point b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Point operator*(Point a, double s) { return {a.x * s, a.y * s, a.z * s}; }
Point cross(Point a, Point b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(Point a, Point b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double length(Point a) { return std::sqrt(dot(a, a)); }

int Mesh::add(Point p) {
    points.push_back(p);
    return int(points.size()) - 1;
}

void Mesh::face(int a, int b, int c) { faces.push_back({a, b, c}); }

void Mesh::quad(int a, int b, int c, int d) {
    face(a, b, c);
    face(a, c, d);
}

void Mesh::append(const Mesh& other) {
    int base = int(points.size());
    points.insert(points.end(), other.points.begin(), other.points.end());
    for (const Face& f : other.faces) face(f[0] + base, f[1] + base, f[2] + base);
}

Mesh loft(const std::vector<Ring>& rings, const Point* first_pole, const Point* last_pole, bool wrap) {
    Mesh m;
    int n = int(rings[0].size()), spans = wrap ? n : n - 1;
    for (const Ring& r : rings)
        for (const Point& p : r) m.add(p);
    auto at = [n](int ring, int j) { return ring * n + j % n; };
    for (int i = 0; i + 1 < int(rings.size()); i++)
        for (int j = 0; j < spans; j++) m.quad(at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j));
    if (first_pole) {
        int p = m.add(*first_pole);
        for (int j = 0; j < spans; j++) m.face(p, at(0, j + 1), at(0, j));
    }
    if (last_pole) {
        int p = m.add(*last_pole), last = int(rings.size()) - 1;
        for (int j = 0; j < spans; j++) m.face(p, at(last, j), at(last, j + 1));
    }
    return m;
}

void orient_outward(Mesh& m) {
    Point centre;
    for (const Point& p : m.points) centre = centre + p * (1.0 / double(m.points.size()));
    double volume = 0;
    for (const Face& f : m.faces)
        volume += dot(m.points[f[0]] - centre, cross(m.points[f[1]] - centre, m.points[f[2]] - centre));
    if (volume < 0)
        for (Face& f : m.faces) std::swap(f[1], f[2]);
}

namespace {

using Edge = std::pair<int, int>;

Edge key(int a, int b) { return a < b ? Edge{a, b} : Edge{b, a}; }

// Every edge with the faces that use it, in face order.
std::map<Edge, std::vector<int>> edge_faces(const Mesh& m) {
    std::map<Edge, std::vector<int>> uses;
    for (int f = 0; f < int(m.faces.size()); f++)
        for (int k = 0; k < 3; k++) uses[key(m.faces[f][k], m.faces[f][(k + 1) % 3])].push_back(f);
    return uses;
}

// Splits edge e at its midpoint; each face on it becomes two, the second appended.
void split_edge(Mesh& m, Edge e, const std::vector<int>& on) {
    int mid = m.add((m.points[e.first] + m.points[e.second]) * 0.5);
    for (int f : on) {
        Face t = m.faces[f];
        int k = 0;
        while (key(t[k], t[(k + 1) % 3]) != e) k++;
        int a = t[k], b = t[(k + 1) % 3], c = t[(k + 2) % 3];
        m.faces[f] = {a, mid, c};
        m.faces.push_back({mid, b, c});
    }
}

// The longest edge used by exactly `uses` faces, or false if there is none.
bool longest(const Mesh& m, const std::map<Edge, std::vector<int>>& all, std::size_t uses, Edge& out) {
    double best = -1;
    for (const auto& [e, on] : all) {
        if (on.size() != uses) continue;
        double len = length(m.points[e.first] - m.points[e.second]);
        if (len > best + 1e-9) {
            best = len;
            out = e;
        }
    }
    return best >= 0;
}

}  // namespace

bool split_to_counts(Mesh& m, int vertices, int faces) {
    int dv = vertices - int(m.points.size());
    int df = faces - int(m.faces.size());
    int inner = df - dv, open = 2 * dv - df;
    if (dv < 0 || inner < 0 || open < 0) return false;
    for (int i = 0; i < inner + open; i++) {
        auto all = edge_faces(m);
        Edge e;
        if (!longest(m, all, i < inner ? 2 : 1, e)) return false;
        split_edge(m, e, all[e]);
    }
    return true;
}

void fit_extents(Mesh& m, int ex, int ey, int ez) {
    auto fit = [&](double Point::*axis, int extent) {
        double lo = m.points[0].*axis, hi = lo;
        for (const Point& p : m.points) {
            lo = std::min(lo, p.*axis);
            hi = std::max(hi, p.*axis);
        }
        double scale = 2.0 * extent / (hi - lo);
        for (Point& p : m.points) p.*axis = (p.*axis - lo) * scale - extent;
    };
    fit(&Point::x, ex);
    fit(&Point::y, ey);
    fit(&Point::z, ez);
}

Model quantise(const Mesh& m) {
    Model out;
    for (const Point& p : m.points)
        out.vertices.push_back({int(std::lround(p.x)), int(std::lround(p.y)), int(std::lround(p.z))});
    out.faces = m.faces;
    return out;
}

std::vector<std::uint8_t> encode(const Model& m) {
    std::vector<std::uint8_t> out;
    auto put16 = [&](int v) {
        out.push_back(std::uint8_t(v & 0xff));
        out.push_back(std::uint8_t((v >> 8) & 0xff));
    };
    put16(int(m.vertices.size()));
    put16(int(m.faces.size()));
    for (const auto& v : m.vertices)
        for (int c : v) put16(c);
    for (const Face& f : m.faces)
        for (int c : f) put16(c);
    return out;
}

bool decode(const std::vector<std::uint8_t>& bytes, Model& m) {
    auto get16 = [&](std::size_t at) { return unsigned(bytes[at]) | unsigned(bytes[at + 1]) << 8; };
    if (bytes.size() < 4) return false;
    std::size_t nv = get16(0), nf = get16(2);
    if (bytes.size() < 4 + 6 * nv + 6 * nf) return false;
    m.vertices.assign(nv, {});
    m.faces.assign(nf, {});
    for (std::size_t k = 0; k < nv; k++)
        for (std::size_t c = 0; c < 3; c++) {
            unsigned u = get16(4 + 6 * k + 2 * c);
            m.vertices[k][c] = u >= 0x8000 ? int(u) - 0x10000 : int(u);
        }
    for (std::size_t k = 0; k < nf; k++)
        for (std::size_t c = 0; c < 3; c++) {
            unsigned index = get16(4 + 6 * nv + 6 * k + 2 * c);
            // Everything that draws a model reads its faces' corners from the vertex array.
            if (index >= nv) return false;
            m.faces[k][c] = int(index);
        }
    return true;
}

void swap_vertices(Model& m, int i, int j) {
    if (i == j) return;
    std::swap(m.vertices[i], m.vertices[j]);
    for (Face& f : m.faces)
        for (int& c : f) c = c == i ? j : c == j ? i : c;
}

}  // namespace mesh
