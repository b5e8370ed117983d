// ac3_process on the emulated sound device: the common call that only asks for the
// output delay, and the call that builds and writes two bursts.
#include <benchmark/benchmark.h>

#include "show/ac3audio.h"
#include "testbox.h"

namespace {

void load_long_stream() {
    static std::FILE* f = nullptr;
    if (f) return;
    f = testbox::open_scrambled(testbox::read_file(std::string(TEST_DATA_DIR) + "/long48.ac3"), 1);
    // Time stands still unless the benchmark moves it: the device stays as full as
    // each case needs.
    emu::Config config;
    config.poll_us = 0;
    testbox::fresh_box(config);
    if (crypted_ac3_init(f) != 0) std::abort();
}

void BM_ProcessDeviceFull(benchmark::State& state) {
    load_long_stream();
    ac3_skip(0);
    ac3_process();
    ac3_process();  // 24576 bytes held: every later call is one request, no write
    std::uint32_t sent = fcount;
    for (auto _ : state) benchmark::DoNotOptimize(ac3_process());
    if (fcount != sent) state.SkipWithError("the device ran low during the run");
}
BENCHMARK(BM_ProcessDeviceFull);

void BM_ProcessWritesTwoBursts(benchmark::State& state) {
    load_long_stream();
    emu::Box& box = emu::box();
    ac3_skip(0);
    for (auto _ : state) {
        state.PauseTiming();
        // Let the device play what it holds, and rewind before the stream ends.
        box.clock.sleep_us(200000);
        if (fcount > 5000) ac3_skip(0);
        state.ResumeTiming();
        benchmark::DoNotOptimize(ac3_process());
    }
}
BENCHMARK(BM_ProcessWritesTwoBursts);

}  // namespace
