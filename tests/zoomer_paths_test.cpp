// Every way this CPU has of drawing a zoomer frame (frame_paths.h) gives the bytes of
// the word-at-a-time way, which the effect's own tests hold to where each sample lands:
// over a logo of transparent and opaque noise and a page of random bytes, at the
// table's extremes and between, with the window on each of the four word positions a
// 16-byte line can put it.
#include <gtest/gtest.h>
#include <random>

#include "data/pngwrite.h"
#include "show/fbstuff.h"
#include "show/frame_paths.h"
#include "show/zoomer.h"
#include "testbox.h"

namespace {

using frame_paths::Path;
using testbox::Bytes;

TEST(ZoomerPaths, EveryPathDrawsTheSameBytes) {
    emu::Box& box = testbox::fresh_box();
    ASSERT_EQ(init_framebuf(), 0);
    PalettePicture logo;
    logo.width = logo.height = 256;
    logo.palette.assign(256, {1, 2, 3});
    std::mt19937 rng(19);
    for (int i = 0; i < 65536; i++) logo.pixels.push_back(rng() % 2 ? 0 : std::uint8_t(rng()));
    const std::string path = box.config.root + "/mnt/html/gui/Velmaris.png";
    testbox::write_file(path, {});
    ASSERT_TRUE(write_png(path, logo));
    ASSERT_EQ(zoom_init(), 0);

    Bytes start(box.fb.memory.size());
    for (auto& b : start) b = std::uint8_t(rng());
    // Word-aligned pages that start 0, 4, 8 and 12 bytes past a 16-byte boundary.
    std::uint8_t* base = scrn + (-reinterpret_cast<std::uintptr_t>(scrn) & 15);
    auto draw = [&](Path path) {
        EXPECT_TRUE(frame_paths::use(path));
        std::copy(start.begin(), start.end(), box.fb.memory.begin());
        int page = 0;
        for (int n : {0, 1, 100, 200, 555, 1234, 1999}) {
            const std::int32_t* e = zoomer_state::table + 5 * n;
            zoomrotate(e[0], e[1], e[2], e[3], e[4], base + page * kPageBytes + 4 * (n % 4));
            page = (page + 1) % 4;
        }
        return Bytes(box.fb.memory.begin(), box.fb.memory.end());
    };
    const Bytes words = draw(Path::words);
    int others = 0;
    for (Path path : {Path::sse2, Path::neon, Path::altivec, Path::dsp}) {
        if (!frame_paths::available(path)) continue;
        others++;
        EXPECT_EQ(draw(path), words) << frame_paths::name(path);
    }
    // x86-64 builds have SSE2, qemu's default ARM core NEON, a PowerPC G4 AltiVec
    // (QEMU_CPU=7400 runs the tests on one), MIPS's 74Kf the DSP extension; a CPU with
    // the word path alone compares none.
    RecordProperty("paths", 1 + others);
    EXPECT_FALSE(frame_paths::use("mmx"));
}

}  // namespace
