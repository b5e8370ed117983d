// The box's C library is glibc, and the show's effects draw from its rand(): the fire's
// noise, the stars, the colour maps. The page's C library (emscripten's musl) has another
// generator, so the page gives the show glibc's.
#include <cstdlib>

#include "show/libc_random.h"

namespace {
LibcRandom generator(1);  // rand() before any srand() is srand(1)
}

extern "C" {
void srand(unsigned seed) { generator = LibcRandom(seed); }
int rand() { return generator.next(); }
}
