// fire_frame: two half-steps (feed, advance, draw, pan) on the emulated box. No sound
// stream is loaded, so the ac3_process call between the half-steps does no device work.
//
// Besides the time per call, each run reports how far the box's virtual clock moved:
// the emulated framebuffer charges its pan cost per shown page, which is what paces the
// fire on the box.
#include <cstdio>

#include <benchmark/benchmark.h>

#include "box/box.h"
#include "box/emu/emu.h"
#include "show/fbstuff.h"
#include "show/fire.h"

std::FILE* ftty = nullptr;

namespace {

// The fire is set up once per process, as in the show.
void set_up_once() {
    static const bool ready = [] {
        emu::reset();
        if (init_framebuf() != 0) return false;
        ftty = box::fopen("/dev/tty0", "wb");
        // The work of a frame does not depend on the heat in the fields, so there is
        // no need to let the fire grow first: under callgrind, every call of fire_frame
        // in a run of one benchmark costs the same.
        return fire_init() == 0;
    }();
    if (!ready) std::abort();
}

void run(benchmark::State& state, int index, int seed) {
    set_up_once();
    std::uint64_t start_us = emu::box().clock.now_us();
    for (auto _ : state) {
        fire_frame(index, seed);
        benchmark::DoNotOptimize(scrn);
        benchmark::ClobberMemory();
    }
    double virtual_s = double(emu::box().clock.now_us() - start_us) / 1e6;
    state.counters["virtual_ms_per_call"] = virtual_s * 1000.0 / double(state.iterations());
    state.counters["half_steps_per_virtual_s"] = 2.0 * double(state.iterations()) / virtual_s;
}

void BM_FireFrame(benchmark::State& state) { run(state, -1, 1); }
void BM_FireFrameWithWord(benchmark::State& state) { run(state, 7, 1); }
void BM_FireFrameDyingOut(benchmark::State& state) { run(state, -1, 0); }

BENCHMARK(BM_FireFrame);
BENCHMARK(BM_FireFrameWithWord);
BENCHMARK(BM_FireFrameDyingOut);

}  // namespace
