// The cost of one zoom-rotator frame (zoomrotate: 66000 texel reads and 33000 word
// read-modify-writes), at the table's widest and narrowest zoom and along the whole
// table walk, with a logo shaped like a real one (large transparent and solid areas)
// and with noise (every sample a coin toss between transparent and opaque).
//
// What a slow box pays is the number of instructions a frame; callgrind counts them:
//   valgrind --tool=callgrind --toggle-collect='zoomrotate(int, int, int, int, int, unsigned char*)' bench/zoomer_rotate_bench --benchmark_filter=walk
// and divides by the calls it lists for zoomrotate.
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <vector>

#include "box/emu/emu.h"
#include "data/pngwrite.h"
#include "show/fbstuff.h"
#include "show/zoomer.h"

std::FILE* fp;
std::FILE* ftty;

namespace {

// A ring with spokes on a transparent ground, shaded by radius and angle.
PalettePicture shaped_logo() {
    PalettePicture p;
    p.width = p.height = 256;
    for (int i = 0; i < 256; i++) p.palette.push_back({std::uint8_t(i), std::uint8_t(255 - i / 2), std::uint8_t(i / 3)});
    p.pixels.resize(65536);
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 256; x++) {
            double dx = x - 127.5, dy = y - 127.5, r = std::hypot(dx, dy), a = std::atan2(dy, dx);
            bool ring = r > 70 && r < 110;
            bool spoke = r <= 70 && std::fabs(std::sin(4 * a)) < 0.25;
            p.pixels[std::size_t(y * 256 + x)] = ring || spoke ? std::uint8_t(1 + int(r + 40 * (a + 3.1416)) % 255) : 0;
        }
    return p;
}

void set_up_once() {
    static const bool done = [] {
        emu::Config config;
        config.root = (std::filesystem::temp_directory_path() / ("zoomer-bench-" + std::to_string(getpid()))).string();
        std::filesystem::create_directories(config.root + "/mnt/html/gui");
        write_png(config.root + "/mnt/html/gui/Velmaris.png", shaped_logo());
        emu::reset(config);
        if (init_framebuf() != 0) std::abort();
        zoom_init();
        std::filesystem::remove_all(config.root);
        return true;
    }();
    (void)done;
}

void render(benchmark::State& state, int first_entry, int entry_step) {
    int n = first_entry, page = 0;
    for (auto _ : state) {
        const std::int32_t* e = zoomer_state::table + 5 * n;
        zoomrotate(e[0], e[1], e[2], e[3], e[4], scrn + page * kPageBytes);
        benchmark::ClobberMemory();
        n = (n + entry_step) % zoomer_state::kEntries;
        page = (page + 1) & 3;
    }
    state.SetItemsProcessed(state.iterations());  // frames
}

void BM_zoomrotate_entry(benchmark::State& state) {
    set_up_once();
    render(state, int(state.range(0)), 0);
}
// Entry 0: widest zoom (4.1 texels a sample); 100: middle; 200: narrowest (1/8 texel).
BENCHMARK(BM_zoomrotate_entry)->Arg(0)->Arg(100)->Arg(200);

void BM_zoomrotate_walk(benchmark::State& state) {
    set_up_once();
    render(state, 0, 7);
}
BENCHMARK(BM_zoomrotate_walk);

void BM_zoomrotate_noise_logo(benchmark::State& state) {
    set_up_once();
    std::vector<std::uint8_t> saved(zoomer_state::zoomlogo, zoomer_state::zoomlogo + 65536);
    std::vector<std::uint8_t> noise(65536);
    std::mt19937 rng(1);
    for (auto& texel : noise) texel = rng() & 1 ? std::uint8_t(rng() | 1) : 0;
    zoomer_state::put_logo(noise.data());
    render(state, 0, 7);
    zoomer_state::put_logo(saved.data());
}
BENCHMARK(BM_zoomrotate_noise_logo);

}  // namespace
