// Where in the show a run is: which soundtrack plays and which section that makes it,
// for the progress line and the contact sheet's labels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "play/options.h"

namespace play {

// The soundtracks in the order the show opens the sound device for them.
enum class Soundtrack { None, Prelude, Main };

// Whether the show plays its prelude with this start section argument: it does when the
// argument is absent or reads as 0 (the show takes the number with automatic base, and
// text that is not a number as 0).
bool prelude_runs(const std::optional<std::string>& section);

// The soundtrack the n-th opening of the sound device (counted from 1) is for.
Soundtrack soundtrack_of_stream(unsigned n, bool prelude);

// Takes out of shots, in order, those due now that soundtrack plays at frame fcount:
// a shot is taken at the first box call at which its soundtrack has reached its frame.
std::vector<Shot> due_shots(std::vector<Shot>& shots, Soundtrack soundtrack, std::uint32_t fcount);

// The section on screen while soundtrack plays at frame fcount.
const char* section_name(Soundtrack soundtrack, std::uint32_t fcount);

// Frame counts of the two soundtracks, read from the box's scrambled data file.
struct SoundtrackLengths {
    std::uint32_t prelude = 0;
    std::uint32_t main = 0;
};
std::optional<SoundtrackLengths> soundtrack_lengths(const std::string& data_file);

}  // namespace play
