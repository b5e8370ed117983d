// demo-play: the show on an emulated box, in a window with sound or into a video.
#include <cstdio>
#include <string>

#include "play/options.h"
#include "play/session.h"
#include "show/vidparm.h"

int main(int argc, char** argv) {
    play::Options options;
    std::string error;
    if (!play::parse_options(argc, argv, options, error)) {
        std::fprintf(stderr, "demo-play: %s (demo-play --help lists the options)\n", error.c_str());
        return play::kExitUsage;
    }
    if (options.help) {
        std::fputs(play::usage().c_str(), stdout);
        return 0;
    }
    return play::run(options, show_main, argv[0]);
}
