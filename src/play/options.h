// demo-play's command line: what to run, what to record, where to show it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace play {

// A screenshot taken at the first box call at which fcount has reached frame on the
// main soundtrack (or on the prelude's, when prelude is set).
struct Shot {
    bool prelude = false;
    std::uint32_t frame = 0;
    std::string path;
};

struct Options {
    bool fast = false;         // virtual time, no window
    std::string trace;         // one JSON line per device request
    std::string dsp_out;       // every byte written to the sound device
    std::string capture;       // MP4 of the show, made in virtual time
    std::string sheet;         // contact sheet PNG
    std::string box_root;      // the box's file tree
    std::vector<Shot> shots;
    std::optional<std::string> section;  // the start section, passed on to the show
    bool help = false;
};

// Exit statuses of demo-play itself; otherwise it exits with the show's status.
constexpr int kExitUsage = 64;       // bad command line
constexpr int kExitCannotWrite = 73; // an output file cannot be made

// Parses argv; false, with why in error, for a command line that does not parse.
bool parse_options(int argc, char** argv, Options& options, std::string& error);
std::string usage();

// A live run shows a window in real time; every other run is in virtual time.
bool live_run(const Options& options);
// Makes the run a capture to show.mp4 with a contact sheet, show-sheet.png, in dir.
void capture_instead(Options& options, const std::string& dir);
// Without a display a live run cannot happen: it captures instead. Returns false when
// nothing changed.
bool fall_back_to_capture(Options& options, const std::string& dir);
// Whether this process can open a window (DISPLAY or WAYLAND_DISPLAY set).
bool display_available();

}  // namespace play
