// The logo zoom-rotator: the second section of the show.
//
// A 256 x 256 palette logo, tiled without end, turns, zooms, drifts and shears in a
// 600 x 220 window drawn on every other line of the page; where the logo is
// transparent the page's old index shows through halved, leaving a fading trail. All
// motion is worked out once by zoom_init into a table of 2000 entries, walked forwards
// and backwards one entry a frame; a frame is integer stepping only. Needs the
// framebuffer and fades (fbstuff), the audio feed (ac3audio) and read_png; owns the
// logo, its brightened palette and the table from zoom_init to zoom_deinit.
#pragma once

#include <cstdint>

// Reads the logo "/mnt/html/gui/Velmaris.png" and builds the motion table, feeding the
// audio as it goes. Ends the program with status 2 when the logo cannot be opened or
// is not an 8-bit 256 x 256 picture, 12 when there is no memory for the table or the
// logo's map.
int zoom_init();
// Draws the next table entry into the next page, shows it and holds 25 ms a frame.
// mode 1: steady, returns 0; other modes also step the prepared fade and return its result.
int zoom_frame(int mode);
// One frame from one table entry: start (u, v), rotation vector, zoom; 12 fraction bits.
void zoomrotate(int u, int v, int xpart, int ypart, int zoom, std::uint8_t* page);
int zoom_fadeout_init();
int zoom_deinit();

// The module's state, for the tests: they read the table, the palette and the logo,
// and place the table walk.
namespace zoomer_state {
constexpr int kEntries = 2000;  // five values each: u, v, x part, y part, zoom
extern std::int32_t* const& table;
extern const std::uint8_t* const& zoomlogo;  // 256 x 256 texels
// Puts 256 x 256 texels in the logo's place.
void put_logo(const std::uint8_t* texels);
extern const std::uint16_t (&pal)[3 * 256];
extern int& cnt;  // index in table of the next entry: 0, 5, ..., 9995
extern int& j;    // walk direction: 0 forwards, 1 backwards
extern int& f;    // page drawn next, 0 to 3
// zoomrotate a word at a time, as on a CPU without SSE2 (zoomrotate itself there).
void zoomrotate_by_words(int u, int v, int xpart, int ypart, int zoom, std::uint8_t* page);
}  // namespace zoomer_state
