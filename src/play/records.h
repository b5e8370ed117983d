// The files a run of the show on the emulated box records into, as demo-play and
// demo-record both write them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "play/options.h"

namespace play {

// Opens the trace and the sound-device file that options name; false, with why, when
// one cannot be made (the other may be open then).
bool open_records(const Options& options, std::FILE*& trace, std::FILE*& dsp_out, std::string& why);

// The trace's first line: its times count from time_of_day_us, the box's clock when the
// run started (so that a live run's can be set beside other clocks).
std::string trace_start_line(std::uint64_t time_of_day_us);
// Its last: the show's exit status, t_us after the start.
std::string trace_exit_line(std::uint64_t t_us, int status);

// A device request (a JSON object) as a line of the trace, t_us after the run started.
// A request made while a write to the sound device is under way carries the number of
// the frame in the burst: fcount before the player counts it.
std::string trace_line(std::uint64_t t_us, const std::string& json, bool writing, std::uint32_t fcount);

}  // namespace play
