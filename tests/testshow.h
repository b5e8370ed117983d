// A small show for tests: a box tree with a data file and a logo made from generated
// pictures and test tones, built by demo-data.
#pragma once

#include <string>
#include <vector>

#include "show/vidparm.h"
#include "testbox.h"

namespace testshow {

struct Options {
    bool long_soundtrack = true;  // enough frames for the whole timeline, else a 2 s tone
    int title_lines = 40;         // lines of end-title text, 16 bitmap rows each
    int prelude_frames = 0;       // prelude soundtrack: this many frames of the long tone, or the 2 s tone
};

// The long test tone (test data long48.ac3): frames of one length, all different.
const testbox::Bytes& long_tone();
std::size_t long_tone_frame_bytes();

// Runs the box program's main with args (args[0] the program's name) on the current box.
// Inline: only tests that link the show's driver call it.
inline int run_show(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return show_main(int(argv.size()), argv.data());
}

// Builds the box tree under root (data file and logo) and returns root.
std::string make_box_tree(const std::string& root, const Options& options = Options());

// A fresh virtual-time box on a tree made by make_box_tree in the test's temp dir.
emu::Box& fresh_show_box(const Options& options = Options(), emu::Config config = emu::Config());

}  // namespace testshow
