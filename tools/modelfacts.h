// What the show relies on in a model: counts, extents, reach from the origin, valid
// indices, which edges are open, and that faces are wound outwards. Worked out from
// the integer model exactly as it is stored.
#pragma once

#include <array>
#include <string>

#include "mesh.h"

namespace mesh {

struct Facts {
    int vertices = 0;
    int faces = 0;
    std::array<int, 3> lo{}, hi{};       // extents per axis
    int positions = 0;                   // distinct vertex positions
    long long max_distance_sq = 0;       // of a vertex from the origin
    bool indices_valid = true;           // every face index below the vertex count
    bool degenerate = false;             // a face with two corners at one position
    // Edges between positions (so repeated vertices at one place count as one):
    int edges = 0;
    int open_edges = 0;         // used by one face
    int crowded_edges = 0;      // used by more than two faces
    int same_way_edges = 0;     // used by two faces that run along it the same way
    // Connected parts (faces joined through shared edges) and how many of them enclose
    // a positive volume with their faces' normals (b - a) x (c - a).
    int parts = 0;
    int outward_parts = 0;
};

Facts analyse(const Model& m);

// The fixed facts of each of the four models, in the show's model order.
struct Expected {
    const char* name;
    int vertices, faces;
    std::array<int, 3> extent;  // coordinates span -extent..extent on each axis
    bool closed;                // every edge in two faces (else some edge in one)
    bool outward;               // drawn with back faces removed
};
extern const std::array<Expected, 4> kModels;

// Empty when the model meets every fact, else what it misses.
std::string check(const Model& m, const Expected& e);

}  // namespace mesh
