// The show on the emulated box in virtual time, and nothing else: no window, sound or
// video library is linked in, so the whole show runs under valgrind's memcheck.
//
//   show_run BOX_ROOT [SECTION]
//
// Exits with the show's status.
#include <cstdio>

#include "box/emu/emu.h"
#include "show/vidparm.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: show_run BOX_ROOT [SECTION]\n");
        return 64;
    }
    emu::Config config;
    config.root = argv[1];
    emu::reset(config);
    char* args[] = {argv[0], argc > 2 ? argv[2] : nullptr, nullptr};
    return show_main(argc - 1, args);
}
