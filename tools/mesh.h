// Triangle meshes for the show's four 3D models: building them in floating point,
// bringing them to their fixed vertex and face counts and extents, and the byte format
// the show links in (little-endian: V, F, V records of three signed 16-bit coordinates,
// F records of three unsigned 16-bit indices).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace mesh {

struct Point {
    double x = 0, y = 0, z = 0;
};
Point operator+(Point a, Point b);
Point operator-(Point a, Point b);
Point operator*(Point a, double s);
Point cross(Point a, Point b);
double dot(Point a, Point b);
double length(Point a);

using Face = std::array<int, 3>;

// A mesh under construction. Faces are wound so that (b - a) x (c - a) points out of
// the surface.
struct Mesh {
    std::vector<Point> points;
    std::vector<Face> faces;

    int add(Point p);
    void face(int a, int b, int c);
    // Two triangles a-b-c and a-c-d.
    void quad(int a, int b, int c, int d);
    // Appends another mesh as a separate part.
    void append(const Mesh& other);
};

using Ring = std::vector<Point>;

// Joins rings of equal size into a tube: consecutive rings by quads, each ring closed
// round (or, with `wrap` false, left open between its last and first point, which
// makes a sheet). A pole closes the tube at that end with a fan of triangles.
Mesh loft(const std::vector<Ring>& rings, const Point* first_pole, const Point* last_pole, bool wrap = true);

// Reverses every face if the mesh's faces enclose a negative volume about its centre,
// so that (b - a) x (c - a) points out of the surface.
void orient_outward(Mesh& m);

// Splits edges at their midpoints, longest first, until the mesh has exactly
// `vertices` points and `faces` faces. An edge used by two faces adds one point and two
// faces, an edge used by one face (an open edge) one point and one face. The shape does
// not change. False when the targets cannot be reached this way.
bool split_to_counts(Mesh& m, int vertices, int faces);

// Scales and moves each axis on its own so that the rounded coordinates span exactly
// -ex..ex, -ey..ey, -ez..ez.
void fit_extents(Mesh& m, int ex, int ey, int ez);

// The model as the show stores it: integer coordinates and indices.
struct Model {
    std::vector<std::array<int, 3>> vertices;
    std::vector<Face> faces;
};

// Rounds the mesh's points to whole model units.
Model quantise(const Mesh& m);

// The stored byte form, and reading it back byte by byte as the show's loader does.
std::vector<std::uint8_t> encode(const Model& m);
// False when the block is shorter than its header says or a face names a vertex
// past the vertex count.
bool decode(const std::vector<std::uint8_t>& bytes, Model& m);

// Swaps two vertices' places in the vertex array, keeping every face on the same points.
void swap_vertices(Model& m, int i, int j);

}  // namespace mesh
