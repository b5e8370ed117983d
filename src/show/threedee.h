// 3D objects over a starfield, and the end titles that scroll over the same stars.
#pragma once

#include <cstdint>

int threedee_init();
void light_threedee_init();
int threedee_deinit();
void threedee_frame(int allfaces, int trails, int withstars, int model);
void fill_triangle(int x1, int y1, int x2, int y2, int x3, int y3, int colour);
void horizline(int x1, int x2, int y, int colour);
int comparefaces(const void* a, const void* b);

int theend_init();
int theend_frame();
void theend_fadeout_init();
int theend_deinit();
void prettyprint(std::uint8_t* destination, int x, int top, const std::uint8_t* text, int clip, int limit);
