// The show driver: start-up, the section timeline on the AC-3 frame counter, shutdown.
#pragma once

#include <cstdint>
#include <cstdio>

extern std::FILE* fp;    // the scrambled data file
extern std::FILE* ftty;  // the console, or null

// Offset of the main soundtrack in the data file: the prelude's pictures, its
// soundtrack and one separator byte come first.
constexpr long kMainSoundtrackOffset = 181002;

// Frames of the main soundtrack at which the fire, the zoomer and the 3D section end;
// the end titles run from the last of them to the end of the show.
constexpr std::uint32_t kFireEnd = 1226;
constexpr std::uint32_t kZoomEnd = 2126;
constexpr std::uint32_t kThreedeeEnd = 5140;

// The program's main: argv[1] is the optional start section.
int show_main(int argc, char** argv);

// The thanks prelude, played before the show when it starts from the beginning.
void thnx();
