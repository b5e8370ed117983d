// Flat shapes for the models: filling a polygon (with holes) with triangles, and
// turning a flat shape into a closed slab.
#pragma once

#include <vector>

#include "mesh.h"

namespace mesh {

struct Point2 {
    double x = 0, y = 0;
};
using Outline = std::vector<Point2>;

// Twice the signed area: positive when the outline runs anticlockwise (x right, y up).
double area2(const Outline& o);

// Triangles covering the shape, each anticlockwise, as indices into the outer outline
// followed by the holes' outlines in order. The outer outline must run anticlockwise
// and the holes clockwise; none may cross another. Empty when it cannot be done.
std::vector<Face> triangulate(const Outline& outer, const std::vector<Outline>& holes);

// A closed slab from z = z0 to z = z1 (z0 < z1): the shape's points at z1 first, then
// the same points at z0. Faces are wound outwards.
Mesh extrude(const Outline& outer, const std::vector<Outline>& holes, double z0, double z1);

}  // namespace mesh
