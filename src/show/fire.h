// Fire with burning words: the first section of the show.
//
// A heat field of 159 x 121 cells, fed with random heat at its two bottom rows, rises by
// a fixed neighbourhood average. Each half-step advances it once into the other field,
// draws it four times enlarged into framebuffer page 1 or 0 (screen lines 40 to 467) and
// pans to that page; fire_frame runs two. The words are never stored as pictures: at
// set-up they are printed on the console, whose 8 x 8 glyphs are read back out of page 0
// and enlarged three times into one text mask per word. A mask forces its cells to heat
// 160 (white) during the one frame that names it; afterwards they burn away upwards.
//
// Owns the two fields, the masks and the fire palette. Needs the framebuffer (fbstuff),
// the console stream ftty (opened by the driver; null means no words), ac3_process
// between the half-steps, and the built-in scrambled word list.
#pragma once

#include <cstdint>

extern const std::uint8_t fire_pal[768];

// Sets up fields, word masks and palette; ends the program with 12 when out of memory,
// 5 when the palette cannot be put.
int fire_init();
// Two half-steps of the fire; index is a word 0..7 to burn in, or -1; seed non-zero
// feeds the fire with random heat, 0 lets it die out.
int fire_frame(int index, int seed);
// Stamps the framebuffer pixels of a width x height rectangle at (srcx, srcy), each
// non-zero one as a 3 x 3 block of heat 160, into a text mask from cell (dstx, dsty) on.
void scaletext(int srcx, int srcy, int dstx, int dsty, int width, int height, std::uint8_t* mask);
// Frees everything and clears the whole framebuffer memory.
int fire_deinit();

// The fire's state, open to the tests: the two fields (121 rows of 159 cells, row 0 at
// the top), the text masks (120 rows of 159 cells) and the words found in the list.
namespace fire_state {
extern std::uint8_t* p1;
extern std::uint8_t* p2;
extern std::uint8_t* firetexts[8];
extern int wordcnt;
extern std::uint8_t lens[8];
}  // namespace fire_state
