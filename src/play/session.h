// One run of the show on the emulated box, with everything demo-play records or shows
// around it: trace, sound device bytes, screenshots, capture, contact sheet, progress,
// the live window and its sound, and the summary at the end.
#pragma once

#include "play/options.h"
#include "play/records.h"

namespace play {

// Runs show (the show's main) with the start section of options on a fresh emulated
// box. Returns the show's exit status, also when the show ends itself with exit (the
// records are finished then too, and the process ends with that status); an output
// file that cannot be written turns a status 0 into kExitCannotWrite. A run that cannot
// start ends with RecordedRun::refused_status().
int run(const Options& options, ShowMain show, const char* program = "demo-play");

}  // namespace play
