// Paced frames of one kind, run between two marker calls so that a counter outside
// the program (qemu's instruction log, callgrind, lackey) can count what lies between
// them: the instructions of whole frames (drawing, palette step, page flip, the sound
// fed at least once) and the bytes read from framebuffer memory. Built for every CPU,
// without the benchmark library; bench/frame_instructions.sh runs it.
//
//   frame_count KIND FRAMES [PATH]
//   KIND: zoomer | zoomer-noise | model0 .. model3 | leadin | titles
//   PATH: the drawing path (frame_paths.h: words, sse2, neon, altivec); default: the
//         one the show picks on this CPU.
//
// The emulated box runs in virtual time with a clock that jumps a second at every
// poll, so each frame's pacing wait ends at its first poll, which feeds the sound
// device (two bursts). Prints "KIND FRAMES PATH", the framebuffer's address and size,
// and the address of the two marker cells.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "show/ac3audio.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/frame_paths.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "show/zoomer.h"
#include "testbox.h"
#include "titles_stream.h"

std::FILE* fp;
std::FILE* ftty;

// The markers: a counter counts from the first instruction of counted_begin to the
// first of counted_end. Each also reads its own cell, which marks the same place in
// a trace of memory accesses.
volatile int marker_cells[2];
extern "C" [[gnu::noinline]] void counted_begin() { (void)marker_cells[0]; }
extern "C" [[gnu::noinline]] void counted_end() { (void)marker_cells[1]; }

namespace {

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: frame_count zoomer|zoomer-noise|model0..3|leadin|titles FRAMES [PATH]\n");
    std::exit(2);
}

void open_box() {
    emu::Config config;
    config.poll_us = 1000000;
    config.pan_cost_us = 0;
    testbox::fresh_box(config);
    if (init_framebuf() != 0) std::exit(5);
    const std::string tone = testbox::temp_dir() + "/tone.ac3";
    testbox::write_file(tone, testbox::tone_ac3());
    std::FILE* f = std::fopen(tone.c_str(), "rb");
    if (f == nullptr || ac3_init(f) != 0) std::exit(5);
    std::fclose(f);
    repeat = 1;
}

// The zoomer with the show's own logo from the box tree, or with noise: every sample
// a coin toss between transparent and opaque, the worst case for a drawing path that
// treats opaque and transparent pairs apart.
void zoomer(int frames, bool noise) {
    testbox::write_file(emu::box().config.root + "/mnt/html/gui/Velmaris.png",
                        testbox::read_file(std::string(BOX_ROOT) + "/mnt/html/gui/Velmaris.png"));
    zoom_init();
    if (noise) {
        std::mt19937 rng(1);
        std::vector<std::uint8_t> logo(65536);
        for (auto& texel : logo) texel = rng() & 1 ? std::uint8_t(rng() | 1) : 0;
        zoomer_state::put_logo(logo.data());
    }
    // Four frames to fill the pages with trails first, then entries spread over the table.
    for (int i = 0; i < 4; i++) zoom_frame(1);
    counted_begin();
    for (int i = 0; i < frames; i++) {
        zoomer_state::cnt = 5 * ((i * 2000 / frames + 37) % zoomer_state::kEntries);
        zoom_frame(1);
    }
    counted_end();
}

void threedee(int frames, int model, bool leadin) {
    static const int all_faces[4] = {0, 1, 1, 0};
    calc_sinetable();
    threedee_init();
    light_threedee_init();
    threedee_state::dp.z = 5000;
    // The models turn through their whole range over the counted frames: start them at
    // angles of their own.
    threedee_state::ax = 4000 * model + 1000;
    threedee_state::ay = 3000 * model;
    auto frame = [&] {
        if (leadin)
            threedee_frame(0, 1, 0, 0);
        else
            threedee_frame(all_faces[model], 0, 1, model);
        // Further round each frame than the show turns, to see more of the model.
        threedee_state::ax += 400;
        threedee_state::ay += 700;
    };
    // A page's first frames work on all of it (what the section found there): the
    // trails' first eight halve it, a model's first clears it. The steady part halves
    // or clears what was drawn since.
    for (int i = 0; i < (leadin ? 32 : 4); i++) frame();
    counted_begin();
    for (int i = 0; i < frames; i++) frame();
    counted_end();
}

// The titles over a text of 40 lines of 24 glyphs, as the show's own text runs.
void titles(int frames) {
    calc_sinetable();
    threedee_init();
    fp = open_titles_stream();
    theend_init();
    counted_begin();
    for (int i = 0; i < frames; i++) theend_frame();
    counted_end();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) usage();
    const std::string kind = argv[1];
    const int frames = std::atoi(argv[2]);
    if (frames <= 0) usage();
    if (argc > 3 && !frame_paths::use(argv[3])) {
        std::fprintf(stderr, "frame_count: no path %s on this CPU\n", argv[3]);
        return 3;
    }
    open_box();
    if (kind == "zoomer" || kind == "zoomer-noise")
        zoomer(frames, kind == "zoomer-noise");
    else if (kind.size() == 6 && kind.compare(0, 5, "model") == 0 && kind[5] >= '0' && kind[5] <= '3')
        threedee(frames, kind[5] - '0', false);
    else if (kind == "leadin")
        threedee(frames, 0, true);
    else if (kind == "titles")
        titles(frames);
    else
        usage();
    std::printf("%s %d %s %p %u %p\n", kind.c_str(), frames, frame_paths::name(), static_cast<void*>(scrn), finfo.smem_len,
                static_cast<volatile void*>(marker_cells));
    return 0;
}
