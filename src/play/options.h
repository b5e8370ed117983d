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
    std::string capture;       // video of the show, made in virtual time (.mp4 or .mkv)
    unsigned scale = 1;        // each box pixel as a scale x scale block in the capture
    unsigned fps = 0;          // constant frame rate of the capture; 0: each picture at its own time
    std::string sheet;         // contact sheet PNG
    std::string box_root;      // the box's file tree
    std::vector<Shot> shots;
    std::optional<std::string> section;  // the start section, passed on to the show
    bool help = false;
};

// Exit statuses of demo-play itself; otherwise it exits with the show's status.
constexpr int kExitUsage = 64;       // bad command line
constexpr int kExitCannotWrite = 73; // an output file cannot be made

constexpr unsigned kMaxScale = 6;

// What a capture file is, by its name's extension.
enum class CaptureKind {
    Unknown,
    Mp4,  // for sharing: H.264 4:2:0 with AAC sound
    Mkv,  // the lossless master: H.264 lossless RGB with the AC-3 frames as sent
};
CaptureKind capture_kind(const std::string& path);

// Parses argv; false, with why in error, for a command line that does not parse.
bool parse_options(int argc, char** argv, Options& options, std::string& error);
std::string usage();

// Whether every output has a file of its own: two in one file would spoil each other
// (a contact sheet written over the capture, a trace mixed into the sound device's
// bytes). False, with why in error, when they would not.
bool outputs_apart(const Options& options, std::string& error);

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
