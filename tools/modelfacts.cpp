#include "modelfacts.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>

namespace mesh {

const std::array<Expected, 4> kModels = {{
    {"velmaris", 500, 972, {630, 2540, 60}, true, true},
    {"duck", 268, 516, {908, 1892, 1130}, false, false},
    {"face", 410, 718, {1250, 790, 1981}, false, false},
    {"x29", 929, 779, {1540, 2792, 561}, false, true},
}};

namespace {

int find(std::vector<int>& up, int i) {
    while (up[i] != i) i = up[i] = up[up[i]];
    return i;
}

}  // namespace

Facts analyse(const Model& m) {
    Facts r;
    r.vertices = int(m.vertices.size());
    r.faces = int(m.faces.size());
    if (!m.vertices.empty()) r.lo = r.hi = m.vertices[0];
    std::map<std::array<int, 3>, int> where;
    std::vector<int> pos(m.vertices.size());
    for (std::size_t k = 0; k < m.vertices.size(); k++) {
        const auto& v = m.vertices[k];
        for (int c = 0; c < 3; c++) {
            r.lo[c] = std::min(r.lo[c], v[c]);
            r.hi[c] = std::max(r.hi[c], v[c]);
        }
        long long d = 1LL * v[0] * v[0] + 1LL * v[1] * v[1] + 1LL * v[2] * v[2];
        r.max_distance_sq = std::max(r.max_distance_sq, d);
        pos[k] = where.emplace(v, int(where.size())).first->second;
    }
    r.positions = int(where.size());
    for (const Face& f : m.faces)
        for (int c : f) r.indices_valid = r.indices_valid && c >= 0 && c < r.vertices;
    if (!r.indices_valid) return r;

    // Each edge between positions, with the faces running along it one way and the other.
    std::map<std::pair<int, int>, std::array<std::vector<int>, 2>> edges;
    for (int f = 0; f < r.faces; f++) {
        const Face& t = m.faces[f];
        for (int k = 0; k < 3; k++) {
            int a = pos[t[k]], b = pos[t[(k + 1) % 3]];
            if (a == b) {
                r.degenerate = true;
                continue;
            }
            edges[{std::min(a, b), std::max(a, b)}][a < b ? 0 : 1].push_back(f);
        }
    }
    std::vector<int> up(m.faces.size());
    std::iota(up.begin(), up.end(), 0);
    r.edges = int(edges.size());
    for (const auto& [e, runs] : edges) {
        std::size_t n = runs[0].size() + runs[1].size();
        if (n == 1) r.open_edges++;
        if (n > 2) r.crowded_edges++;
        if (n == 2 && runs[0].size() != 1) r.same_way_edges++;
        std::vector<int> on = runs[0];
        on.insert(on.end(), runs[1].begin(), runs[1].end());
        for (std::size_t k = 1; k < on.size(); k++) up[find(up, on[k])] = find(up, on[0]);
    }

    // Volume of each part, taken about the part's own centre so that a part with an
    // opening still gives the sign of its winding.
    std::map<int, std::vector<int>> parts;
    for (int f = 0; f < r.faces; f++) parts[find(up, f)].push_back(f);
    r.parts = int(parts.size());
    for (const auto& [root, list] : parts) {
        Point centre;
        for (int f : list)
            for (int c : m.faces[f]) {
                const auto& v = m.vertices[c];
                centre = centre + Point{double(v[0]), double(v[1]), double(v[2])} * (1.0 / (3.0 * list.size()));
            }
        double volume = 0;
        for (int f : list) {
            Point p[3];
            for (int c = 0; c < 3; c++) {
                const auto& v = m.vertices[m.faces[f][c]];
                p[c] = Point{double(v[0]), double(v[1]), double(v[2])} - centre;
            }
            volume += dot(p[0], cross(p[1], p[2]));
        }
        if (volume > 0) r.outward_parts++;
    }
    return r;
}

std::string check(const Model& m, const Expected& e) {
    Facts f = analyse(m);
    std::string why;
    auto miss = [&](bool bad, const std::string& what) {
        if (bad) why += std::string(why.empty() ? "" : "; ") + what;
    };
    miss(f.vertices != e.vertices, "vertex count " + std::to_string(f.vertices));
    miss(f.faces != e.faces, "face count " + std::to_string(f.faces));
    for (int c = 0; c < 3; c++)
        miss(f.lo[c] != -e.extent[c] || f.hi[c] != e.extent[c],
             std::string("axis ") + char('x' + c) + " spans " + std::to_string(f.lo[c]) + ".." + std::to_string(f.hi[c]));
    miss(f.max_distance_sq > 2816LL * 2816LL, "a vertex lies farther than 2816 from the origin");
    miss(!f.indices_valid, "a face index is out of range");
    if (!f.indices_valid) return why;
    miss(f.degenerate, "a face has two corners at one place");
    miss(f.crowded_edges > 0, std::to_string(f.crowded_edges) + " edges in more than two faces");
    miss(f.same_way_edges > 0, std::to_string(f.same_way_edges) + " edges whose faces disagree on winding");
    miss(e.closed && f.open_edges != 0, std::to_string(f.open_edges) + " open edges on a closed model");
    miss(!e.closed && f.open_edges == 0, "no open edge on an open model");
    miss(e.outward && f.outward_parts != f.parts,
         std::to_string(f.parts - f.outward_parts) + " of " + std::to_string(f.parts) + " parts wound inwards");
    return why;
}

}  // namespace mesh
