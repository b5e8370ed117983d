// Cost of one frame of the 3D section, per model as the show draws it (near, with the
// stars), of a lead-in frame (trails, no stars), and of one frame of the end titles.
//
// The emulated box runs in virtual time with a clock that jumps a whole second on every
// poll: the 20 ms pacing wait then ends at its first poll and costs next to nothing,
// so what is measured is the drawing. Every benchmark runs a fixed number of frames,
// so that a run under callgrind counts instructions per frame exactly, e.g. for model 3:
//   valgrind --tool=callgrind --toggle-collect='threedee_frame(int, int, int, int)' bench/threedee_frame_bench --benchmark_filter='Model/3/'
#include <benchmark/benchmark.h>
#include <cstdio>

#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "testbox.h"
#include "titles_stream.h"

std::FILE* fp;

namespace {

constexpr int kFrames = 1000;
const int kAllFaces[4] = {0, 1, 1, 0};

// A box, the sine table and the 3D scene, once per process, with the model near.
void set_up_scene() {
    static bool done = false;
    if (done) return;
    done = true;
    emu::Config config;
    config.poll_us = 1000000;
    config.pan_cost_us = 0;
    testbox::fresh_box(config);
    if (init_framebuf() != 0) std::abort();
    calc_sinetable();
    threedee_init();
    threedee_state::dp.z = 5000;
}

void Model(benchmark::State& state) {
    set_up_scene();
    const int m = int(state.range(0));
    for (auto _ : state) threedee_frame(kAllFaces[m], 0, 1, m);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Model)->DenseRange(0, 3)->Iterations(kFrames)->Unit(benchmark::kMicrosecond);

void LeadIn(benchmark::State& state) {
    set_up_scene();
    for (auto _ : state) threedee_frame(0, 1, 0, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(LeadIn)->Iterations(kFrames)->Unit(benchmark::kMicrosecond);

// The titles over a text of 40 lines of 24 glyphs, as the show's own text runs.
void Titles(benchmark::State& state) {
    set_up_scene();
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        fp = open_titles_stream();
        theend_init();
    }
    for (auto _ : state) theend_frame();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Titles)->Iterations(kFrames)->Unit(benchmark::kMicrosecond);

}  // namespace
