// The 3D scene's set-up and tear-down: the model loader (byte by byte, little-endian,
// unaligned), the built-in models, the seven colour maps, the starfield, the first
// colour and fade, and what threedee_deinit leaves for the end titles.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <vector>

#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/showdata.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "testbox.h"

namespace {

using namespace threedee_state;

// Counts the box calls the show makes; with no soundtrack loaded, every ac3_process
// call is exactly one (its output-delay query).
struct CallCounter : emu::Observer {
    int calls = 0;
    void box_call() override { calls++; }
};

// A vertex's coordinates, and a face's indices then its depth key (the farthest
// possible until a frame sorts the face).
using Ints = std::vector<int>;
Ints xyz(const vec3& v) { return {v.x, v.y, v.z}; }
Ints corners(const tri& t) { return {t.a, t.b, t.c, t.depth}; }
constexpr int kFar = -2147483647 - 1;

class Scene : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
        calc_sinetable();
    }
};

// Four hand-made blocks holding the byte patterns the loader must get right. The
// third one sits at an odd address: the format has no alignment.
TEST_F(Scene, LoaderReadsLittleEndianFieldsByteByByte) {
    const std::uint8_t m0[] = {
        0x03, 0x00, 0x02, 0x00,              // V = 3, F = 2
        0xff, 0xff, 0x00, 0x80, 0xff, 0x7f,  // (-1, -32768, 32767)
        0x02, 0xfe, 0x7c, 0xfc, 0x3c, 0x00,  // (-510, -900, 60)
        0x01, 0x00, 0x00, 0x01, 0xfe, 0xff,  // (1, 256, -2)
        0x48, 0x01, 0x62, 0x00, 0xc2, 0x00,  // (328, 98, 194)
        0xff, 0xff, 0x00, 0x80, 0x01, 0x00,  // (65535, 32768, 1)
    };
    const std::uint8_t m1[] = {0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x06, 0x00, 0x07, 0x00};
    std::uint8_t unaligned[1 + 4 + 2 * 6 + 6];
    const std::uint8_t m2[] = {0x02, 0x00, 0x01, 0x00, 0x34, 0x12, 0xcc, 0xed, 0x00, 0x00,
                               0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00};
    std::memcpy(unaligned + 1, m2, sizeof m2);
    const std::uint8_t m3[] = {0x00, 0x00, 0x00, 0x00};

    starts[0] = m0;
    starts[1] = m1;
    starts[2] = unaligned + 1;
    starts[3] = m3;
    ASSERT_EQ(threedee_init(), 0);

    EXPECT_EQ(numvert[0], 3);
    EXPECT_EQ(numface[0], 2);
    EXPECT_EQ(xyz(vertices[0][0]), (Ints{-1, -32768, 32767}));
    EXPECT_EQ(xyz(vertices[0][1]), (Ints{-510, -900, 60}));
    EXPECT_EQ(xyz(vertices[0][2]), (Ints{1, 256, -2}));
    EXPECT_EQ(corners(faces[0][0]), (Ints{328, 98, 194, kFar}));
    EXPECT_EQ(corners(faces[0][1]), (Ints{65535, 32768, 1, kFar}));  // indices are unsigned

    EXPECT_EQ(numvert[1], 1);
    EXPECT_EQ(numface[1], 0);
    EXPECT_EQ(xyz(vertices[1][0]), (Ints{5, 6, 7}));

    EXPECT_EQ(numvert[2], 2);
    EXPECT_EQ(numface[2], 1);
    EXPECT_EQ(xyz(vertices[2][0]), (Ints{0x1234, -0x1234, 0}));
    EXPECT_EQ(xyz(vertices[2][1]), (Ints{1, 2, 3}));
    EXPECT_EQ(corners(faces[2][0]), (Ints{1, 0, 1, kFar}));

    EXPECT_EQ(numvert[3], 0);
    EXPECT_EQ(numface[3], 0);
    // The work arrays are sized for the largest counts seen.
    EXPECT_EQ(maxv, 3);
    EXPECT_EQ(maxf, 2);
}

TEST_F(Scene, BuiltInModels) {
    const std::uint8_t* builtin[] = {_binary_velmaris_bin_start, _binary_duck_bin_start, _binary_face_bin_start,
                                     _binary_x29_bin_start};
    for (int m = 0; m < 4; m++) EXPECT_EQ(starts[m], builtin[m]) << "model " << m;

    ASSERT_EQ(threedee_init(), 0);
    const int v[] = {500, 268, 410, 929};
    const int n[] = {972, 516, 718, 779};
    for (int m = 0; m < 4; m++) {
        EXPECT_EQ(numvert[m], v[m]) << "model " << m;
        EXPECT_EQ(numface[m], n[m]) << "model " << m;
    }
    EXPECT_EQ(maxv, 929);
    EXPECT_EQ(maxf, 972);
    EXPECT_EQ(xyz(vertices[0][0]), (Ints{-510, -900, 60}));
    EXPECT_EQ(corners(faces[0][0]), (Ints{328, 98, 194, kFar}));
}

TEST_F(Scene, ColourMaps) {
    ASSERT_EQ(threedee_init(), 0);
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(cmaps[i].start, 0u);
        EXPECT_EQ(cmaps[i].len, 256u);
        EXPECT_EQ(cmaps[i].red, pals[i]);
        EXPECT_EQ(cmaps[i].green, pals[i] + 256);
        EXPECT_EQ(cmaps[i].blue, pals[i] + 512);
        EXPECT_EQ(cmaps[i].transp, nullptr);
    }
    auto rgb = [](int map, int k) {
        return std::vector<int>{cmaps[map].red[k], cmaps[map].green[k], cmaps[map].blue[k]};
    };
    EXPECT_EQ(rgb(6, 100), (std::vector<int>{27300, 27300, 0}));
    EXPECT_EQ(rgb(1, 239), (std::vector<int>{0, 0, 65247}));
    EXPECT_EQ(rgb(4, 1), (std::vector<int>{273, 0, 0}));
    EXPECT_EQ(rgb(5, 10), (std::vector<int>{2730, 0, 2730}));
    EXPECT_EQ(rgb(3, 239), (std::vector<int>{0, 65247, 65247}));
    for (int k = 0; k < 240; k++) ASSERT_EQ(rgb(0, k), (std::vector<int>{0, 0, 0})) << "entry " << k;
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(rgb(i, 0), (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(rgb(i, 240), (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(rgb(i, 241), (std::vector<int>{0, 0, 4096}));
        EXPECT_EQ(rgb(i, 249), (std::vector<int>{0, 0, 36864})) << "map " << i;
        EXPECT_EQ(rgb(i, 250), (std::vector<int>{8192, 8192, 40960})) << "map " << i;
        EXPECT_EQ(rgb(i, 255), (std::vector<int>{49152, 49152, 61440})) << "map " << i;
    }
}

TEST_F(Scene, InitFeedsTheSoundDeviceTenTimes) {
    CallCounter counter;
    emu::box().observer = &counter;
    ASSERT_EQ(threedee_init(), 0);
    emu::box().observer = nullptr;
    EXPECT_EQ(counter.calls, 10);
}

TEST_F(Scene, StarsTakeSuccessiveRandomValuesXThenYThenZ) {
    std::srand(4321);
    ASSERT_EQ(threedee_init(), 0);
    std::srand(4321);
    for (int s = 0; s < kStars; s++) {
        int x = (std::rand() & 0x3fff) - 8192;
        int y = (std::rand() & 0x3fff) - 8192;
        int z = (std::rand() & 0x3fff) - 8192;
        ASSERT_EQ(stars[s].x, x) << "star " << s;
        ASSERT_EQ(stars[s].y, y) << "star " << s;
        ASSERT_EQ(stars[s].z, z) << "star " << s;
    }
}

TEST_F(Scene, LightInitShowsBlueThenFadesToAnotherHue) {
    ASSERT_EQ(threedee_init(), 0);
    emu::Box& box = emu::box();
    std::set<int> chosen;
    for (unsigned seed = 1; seed <= 60; seed++) {
        std::srand(seed);
        light_threedee_init();
        chosen.insert(curmap);
        ASSERT_EQ(box.fb.var.yoffset, 1440u);
        for (int k = 0; k < 256; k++) {
            ASSERT_EQ(box.fb.red[k], pals[1][k]);
            ASSERT_EQ(box.fb.green[k], pals[1][256 + k]);
            ASSERT_EQ(box.fb.blue[k], pals[1][512 + k]);
        }
    }
    EXPECT_EQ(chosen, (std::set<int>{2, 3, 4, 5, 6}));

    // The fade runs 256 steps, then puts the chosen map exactly.
    int steps = 0;
    while (fade_step() == 0) steps++;
    EXPECT_EQ(steps, 256);
    for (int k = 0; k < 256; k++) {
        ASSERT_EQ(box.fb.red[k], pals[curmap][k]);
        ASSERT_EQ(box.fb.green[k], pals[curmap][256 + k]);
        ASSERT_EQ(box.fb.blue[k], pals[curmap][512 + k]);
    }
}

// After the section the stars are still there and have drifted once more (the last
// frame, with the model sent far away, shows only them).
TEST_F(Scene, DeinitDrawsStarsAloneAndKeepsTheStarArrays) {
    ASSERT_EQ(threedee_init(), 0);
    std::vector<vec3> before(stars, stars + kStars);
    ASSERT_EQ(threedee_deinit(), 0);

    for (int s = 0; s < kStars; s++) {
        int y = before[s].y + 100;
        if (y >= 8192) y -= 16384;
        ASSERT_EQ(stars[s].y, y) << "star " << s;
        ASSERT_EQ(stars[s].x, before[s].x);
        ASSERT_EQ(stars[s].z, before[s].z);
    }
    EXPECT_EQ(dp.z, 100000 - 250);  // sent away, and the frame came nearer by one step

    // The frame drew page 0 and showed it; only star colours are on it.
    emu::Box& box = emu::box();
    EXPECT_EQ(box.fb.var.yoffset, 0u);
    EXPECT_EQ(f, 1);
    int star_pixels = 0;
    for (int i = 0; i < kPageBytes; i++) {
        std::uint8_t p = scrn[i];
        ASSERT_TRUE(p == 0 || p >= 240) << "pixel " << i;
        star_pixels += p != 0;
    }
    EXPECT_GT(star_pixels, 50);
    std::free(stars);
    std::free(srx);
    std::free(srz);
    std::free(sry);
}

}  // namespace
