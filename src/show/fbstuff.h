// Framebuffer pages and palette fades.
//
// Owns the framebuffer device: its descriptor, screen info, the mapped memory `scrn`
// (six 640 x 480 pages of a 640 x 2880 virtual screen; page k at scrn + k * 307200,
// shown by panning vinfo.yoffset to k * 480), the all-black map and the fade engine
// that every section uses to change colours.
#pragma once

#include <cstdint>
#include <linux/fb.h>

constexpr int kPageBytes = 640 * 480;

extern int fbfd;
extern struct fb_fix_screeninfo finfo;
extern struct fb_var_screeninfo vinfo;
extern std::uint8_t* scrn;

extern struct fb_cmap black;  // all 256 entries 0
extern struct fb_cmap imap;   // the fade's current palette

// 0 on success; 1 open, 2 fixed info, 3 variable info, 4 mode set, 5 wrong mode read
// back (or lines that are not 640 bytes, or memory that cannot hold four pages),
// 6 mapping failed. Notes the screen's mode, pan and colour map before it changes them.
int init_framebuf();
// Puts the screen's mode, virtual size, pan and colour map back as init_framebuf found
// them. Does nothing before the screen was claimed or once it has been given back.
void restore_framebuf();
void init_fadein(const struct fb_cmap* from, const struct fb_cmap* to, int nsteps);
// 0 while the fade runs (one step put), 1 when complete (the target put).
int fade_step();
