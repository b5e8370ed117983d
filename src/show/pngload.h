// PNG loading: 8-bit palette pictures from a stdio stream or from the scrambled data
// stream, decoded with libpng into a packed buffer of one byte per pixel.
#pragma once

#include <cstdint>
#include <cstdio>
#include <linux/fb.h>
#include <png.h>

// 0 on success; -1 read structure, -2 info structure, -4 no memory for the pixels,
// -5 no memory for the row table, -6 not 8 bits in one byte per pixel, -7 the image
// could not be decoded (libpng reported an error). With file null it reads from the
// data stream fp. The caller frees *pixels_out with free().
int read_png(std::FILE* file, std::uint8_t** pixels_out, struct fb_cmap* map, int* width_out, int* height_out);

// libpng read callback for the data stream.
void user_read_data(png_structp decoder, png_bytep buf, png_size_t len);

// libpng error and warning handlers that print nothing (libpng's own print to stderr):
// an error goes back to the decoder's setjmp, a warning is dropped.
[[noreturn]] inline void quiet_png_error(png_structp decoder, png_const_charp) { png_longjmp(decoder, 1); }
inline void quiet_png_warning(png_structp, png_const_charp) {}
