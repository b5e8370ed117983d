#include "polygon.h"

#include <algorithm>
#include <cmath>

namespace mesh {

namespace {

double orient(Point2 a, Point2 b, Point2 c) { return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x); }

bool same(Point2 a, Point2 b) { return a.x == b.x && a.y == b.y; }

// Whether segments ab and cd cross or touch anywhere other than at a shared end point.
bool segments_meet(Point2 a, Point2 b, Point2 c, Point2 d) {
    if (same(a, c) || same(a, d) || same(b, c) || same(b, d)) return false;
    double d1 = orient(c, d, a), d2 = orient(c, d, b), d3 = orient(a, b, c), d4 = orient(a, b, d);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return true;
    auto on = [](Point2 p, Point2 q, Point2 r) {
        return orient(p, q, r) == 0 && std::min(p.x, q.x) <= r.x && r.x <= std::max(p.x, q.x) &&
               std::min(p.y, q.y) <= r.y && r.y <= std::max(p.y, q.y);
    };
    return on(c, d, a) || on(c, d, b) || on(a, b, c) || on(a, b, d);
}

// Smallest angle of triangle abc, for choosing well-shaped ears.
double min_angle(Point2 a, Point2 b, Point2 c) {
    auto angle = [](Point2 p, Point2 q, Point2 r) {
        double ux = q.x - p.x, uy = q.y - p.y, vx = r.x - p.x, vy = r.y - p.y;
        return std::atan2(std::abs(ux * vy - uy * vx), ux * vx + uy * vy);
    };
    return std::min({angle(a, b, c), angle(b, c, a), angle(c, a, b)});
}

}  // namespace

double area2(const Outline& o) {
    double s = 0;
    for (std::size_t i = 0; i < o.size(); i++) {
        const Point2& p = o[i];
        const Point2& q = o[(i + 1) % o.size()];
        s += p.x * q.y - q.x * p.y;
    }
    return s;
}

std::vector<Face> triangulate(const Outline& outer, const std::vector<Outline>& holes) {
    std::vector<Point2> pts = outer;
    std::vector<int> ring(outer.size());
    for (std::size_t i = 0; i < outer.size(); i++) ring[i] = int(i);
    // Every edge of the shape, to keep bridges from crossing one.
    std::vector<std::pair<int, int>> edges;
    for (std::size_t i = 0; i < outer.size(); i++) edges.push_back({int(i), int((i + 1) % outer.size())});
    std::vector<int> firsts;
    for (const Outline& h : holes) {
        int base = int(pts.size());
        firsts.push_back(base);
        pts.insert(pts.end(), h.begin(), h.end());
        for (std::size_t i = 0; i < h.size(); i++) edges.push_back({base + int(i), base + int((i + 1) % h.size())});
    }
    // Join each hole to the ring by the shortest bridge that crosses no edge, walking
    // round the hole and back over the bridge.
    for (std::size_t k = 0; k < holes.size(); k++) {
        int base = firsts[k], n = int(holes[k].size());
        double best = -1;
        int at = -1, from = -1;
        for (int r = 0; r < int(ring.size()); r++)
            for (int j = base; j < base + n; j++) {
                Point2 a = pts[ring[r]], b = pts[j];
                double d = std::hypot(a.x - b.x, a.y - b.y);
                if (best >= 0 && d >= best) continue;
                bool clear = true;
                for (auto [e0, e1] : edges) clear = clear && !segments_meet(a, b, pts[e0], pts[e1]);
                if (clear) {
                    best = d;
                    at = r;
                    from = j;
                }
            }
        if (at < 0) return {};
        std::vector<int> joined(ring.begin(), ring.begin() + at + 1);
        for (int i = 0; i <= n; i++) joined.push_back(base + (from - base + i) % n);
        joined.insert(joined.end(), ring.begin() + at, ring.end());
        edges.push_back({ring[at], from});
        ring = joined;
    }
    // Clip ears, always the best-shaped one, until a triangle remains.
    std::vector<Face> out;
    while (ring.size() > 3) {
        int n = int(ring.size()), pick = -1;
        double quality = -1;
        for (int i = 0; i < n; i++) {
            int a = ring[(i + n - 1) % n], b = ring[i], c = ring[(i + 1) % n];
            if (orient(pts[a], pts[b], pts[c]) <= 0) continue;
            bool empty = true;
            for (int j = 0; j < n && empty; j++) {
                Point2 p = pts[ring[j]];
                if (same(p, pts[a]) || same(p, pts[b]) || same(p, pts[c])) continue;
                empty = !(orient(pts[a], pts[b], p) >= 0 && orient(pts[b], pts[c], p) >= 0 &&
                          orient(pts[c], pts[a], p) >= 0);
            }
            double q = empty ? min_angle(pts[a], pts[b], pts[c]) : -1;
            if (q > quality) {
                quality = q;
                pick = i;
            }
        }
        if (pick < 0) return {};
        out.push_back({ring[(pick + n - 1) % n], ring[pick], ring[(pick + 1) % n]});
        ring.erase(ring.begin() + pick);
    }
    if (orient(pts[ring[0]], pts[ring[1]], pts[ring[2]]) <= 0) return {};
    out.push_back({ring[0], ring[1], ring[2]});
    return out;
}

Mesh extrude(const Outline& outer, const std::vector<Outline>& holes, double z0, double z1) {
    std::vector<Face> caps = triangulate(outer, holes);
    Mesh m;
    std::vector<const Outline*> loops{&outer};
    for (const Outline& h : holes) loops.push_back(&h);
    int count = 0;
    for (const Outline* l : loops) count += int(l->size());
    for (double z : {z1, z0})
        for (const Outline* l : loops)
            for (const Point2& p : *l) m.add({p.x, p.y, z});
    for (const Face& t : caps) {
        m.face(t[0], t[1], t[2]);
        m.face(count + t[0], count + t[2], count + t[1]);
    }
    // Walls: every loop has the solid on its left, so the outside is to the right.
    int base = 0;
    for (const Outline* l : loops) {
        int n = int(l->size());
        for (int i = 0; i < n; i++) {
            int a = base + i, b = base + (i + 1) % n;
            m.quad(a, count + a, count + b, b);
        }
        base += n;
    }
    return m;
}

}  // namespace mesh
