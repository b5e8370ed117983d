// Drawing into palette pictures for the content tools: blits, filled triangles and
// flat-shaded orthographic views of models, for the pictures the show shows and for
// the contact sheet.
#pragma once

#include <cstdint>

#include "data/pngwrite.h"
#include "mesh.h"

namespace canvas {

PalettePicture blank(int width, int height, std::uint8_t fill = 0);

// Copies src into dst with its top-left corner at (x, y), clipped to dst. With
// `transparent` set, source index 0 leaves dst unchanged. `offset` is added to every
// copied index (for pictures whose palette is moved up in dst's).
void blit(PalettePicture& dst, const PalettePicture& src, int x, int y, bool transparent = false, int offset = 0);

// Fills the triangle whose corners are given in pixel units (sub-pixel precise, pixel
// centres inside the triangle are set), clipped to the picture.
void triangle(PalettePicture& dst, double x0, double y0, double x1, double y1, double x2, double y2,
              std::uint8_t colour);

// A view direction for model drawings: which model axes go right, down and into the
// picture (each +1 or -1 times axis 0, 1 or 2).
struct View {
    int right_axis, right_sign;
    int down_axis, down_sign;
    int depth_axis, depth_sign;
};
inline constexpr View kFront{0, 1, 1, 1, 2, 1};  // looking along +z, as the show first sees a model
inline constexpr View kSide{1, 1, 2, 1, 0, 1};   // looking along +x
inline constexpr View kEnd{0, -1, 2, 1, 1, 1};   // looking along +y

// Draws the model scaled to fit a size x size square at (x, y), faces sorted far to
// near, each in ramp index first + (light level 0..count-1) by the angle between its
// normal and the view. `two_sided` lights back faces too (for open models); otherwise
// faces turned away are not drawn, as the show's back-face removal does.
void draw_model(PalettePicture& dst, const mesh::Model& m, const View& v, int x, int y, int size, int first,
                int count, bool two_sided);

}  // namespace canvas
