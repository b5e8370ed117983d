// State of the threedee module, shared by its two halves: the 3D section (threedee.cpp)
// and the end titles (theend.cpp), which draw the same starfield with the same angles
// and page counter. Also the frame code both halves run: the scene transform, the star
// plot and drift, the page flip and the 20 ms frame pacing.
//
// Nothing outside the module uses this header except its tests and benchmarks.
#pragma once

#include <cstdint>
#include <linux/fb.h>
#include <sys/time.h>

struct vec3 {
    std::int32_t x, y, z;
};

// A triangle: three vertex indices and its depth key (the sum of its corners' view z).
struct tri {
    std::int32_t a, b, c, depth;
};

namespace threedee_state {

constexpr int kModels = 4;
constexpr int kMaps = 7;
constexpr int kStars = 512;
constexpr int kUnloaded = -2147483647 - 1;  // depth of a face that was never keyed

// The models: blocks in the built-in format, and what the loader made of them.
extern const std::uint8_t* starts[kModels];
extern int numvert[kModels];
extern int numface[kModels];
extern vec3* vertices[kModels];
extern tri* faces[kModels];
extern int maxv, maxf;  // sizes of the work arrays: the largest V and F

// Work arrays: model points after each rotation, and the faces to draw in a frame.
extern vec3 *rx, *rz, *ry;
extern tri* drawfaces;
// The back-face test's edge vectors and normal, of the last face tested.
extern vec3 s1, s2, cp;

// The starfield; these arrays outlive the 3D section and are freed by the end titles.
extern vec3 *stars, *srx, *srz, *sry;

extern std::uint16_t* pals[kMaps];
extern struct fb_cmap cmaps[kMaps];

// Scene: angles (1/16384 turn, never wrapped), their steps, star drift, approach.
extern int ax, ay, az;
extern int axi, ayi, azi;
extern int syi;
extern int dzd;
extern vec3 dp;   // the model's origin in view space
extern vec3 dps;  // the starfield's origin in view space
extern int f;     // page the next frame draws into and shows
extern int curmap;
extern std::uint8_t* pix;  // page being drawn

// Rotates n points about x by ax, then about z by az, then about y by ay and moves
// them by o, keeping each stage: in -> r1 -> r2 -> r3 (view space).
void scene_transform(const vec3* in, vec3* r1, vec3* r2, vec3* r3, int n, const vec3& o);
// The palette index of a face with this depth key: 239 up to 10095, one darker every
// 48 units further, 0 (not drawn) from 21520 on.
int face_colour(std::int32_t depth);
// A view-space coordinate at depth z on the screen, relative to its centre; the
// smallest int for a point at or behind the eye.
std::int32_t project(std::int32_t c, std::int32_t z);
// The starfield through the scene transform: stars -> srx -> srz -> sry.
void transform_stars();
// Puts each star of sry onto a 0 byte of page, then lets it drift by syi. Where
// `plotted` is given it receives the offset in the page of each byte set; returns how
// many were.
int plot_stars(std::uint8_t* page, int* plotted = nullptr);
// Adds each angle's step.
void advance_angles();
// Pans to page f and moves f on to the next of the four pages.
void show_page();
// The time of day one frame period from now.
struct timeval frame_deadline();
// Feeds the sound device until the deadline has passed (at least once).
void wait_until(const struct timeval& deadline);

}  // namespace threedee_state

// The end titles' own state, in theend.cpp.
namespace theend_state {

extern std::uint8_t* pic;  // the font picture; only while theend_init runs
extern int w, h;           // its size
extern int cw, ch;         // glyph cell size
extern std::uint8_t* endtitles;
extern int endtitles_size;
extern int lin;            // lines of text
extern int rows;           // rows of the text bitmap: ch * lin, but at least a screen
extern std::uint8_t* sourcepic;
extern int offs[480];      // the wave: sideways shift of each screen row
extern int y;              // first bitmap row of the next frame's window
extern std::uint16_t pal[768];
extern struct fb_cmap cmap;

}  // namespace theend_state
