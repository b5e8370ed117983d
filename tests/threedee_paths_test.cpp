// Every way this CPU has of going through a page (frame_paths.h) halves each byte of it
// for the 3D section's trails, the bytes before the first 16-byte boundary and after the
// last whole 64 included, and leaves the other pages alone.
#include <gtest/gtest.h>
#include <random>

#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/frame_paths.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "testbox.h"

namespace {

using frame_paths::Path;
using testbox::Bytes;

TEST(ThreedeePaths, EveryPathHalvesEveryByteOfThePage) {
    emu::Box& box = testbox::fresh_box();
    ASSERT_EQ(init_framebuf(), 0);
    calc_sinetable();
    ASSERT_EQ(threedee_init(), 0);
    threedee_state::dp.z = 100000;  // no face is drawn at this distance

    std::mt19937 rng(3);
    Bytes start(box.fb.memory.size());
    for (auto& b : start) b = std::uint8_t(rng());
    Bytes expected = start;
    for (int i = 0; i < kPageBytes; i++) expected[std::size_t(kPageBytes + i)] >>= 1;
    for (Path path : {Path::words, Path::sse2, Path::neon, Path::altivec, Path::dsp}) {
        if (!frame_paths::use(path)) continue;
        std::copy(start.begin(), start.end(), box.fb.memory.begin());
        threedee_state::f = 1;
        threedee_frame(0, 1, 0, 0);
        EXPECT_TRUE(Bytes(box.fb.memory.begin(), box.fb.memory.end()) == expected) << frame_paths::name(path);
    }
}

}  // namespace
