// The fixed-point sine table shared by the 3D section and the end titles.
//
// sinetable[i] = sin(i * 2 pi / 16384) * 65536, truncated toward zero. Angles are in
// 1/16384 of a turn: sine at [a & 0x3fff], cosine at [(a + 4096) & 0x3fff]. It is built
// either at once (calc_sinetable) or one entry per call (calc_step) while the prelude
// waits for its music; both give the same table.
#pragma once

#include <cstdint>

// sin and cos of a double, the same bits on every CPU: plain IEEE double arithmetic
// with no call into the C library, whose sin differs between CPUs in its inner
// workings (the 32-bit PowerPC one sets the rounding mode with a POWER9 instruction
// that a G4 refuses). Within one unit in the last place of the exact value for
// |x| < 2^20 pi / 2, which holds every angle the show uses; not for larger |x|.
double sine(double x);
double cosine(double x);

extern std::int32_t sinetable[16384];

void calc_sinetable();
void init_calc();
// 0 after computing the next entry; 1 once all 16384 are done.
int calc_step();
