// The 3D frame: scene transform and projection, depth colours, the triangle filler,
// the back-face test, the draw order, trails, the starfield's plot and drift, the
// colour cycle, the page flip and the 20 ms pacing.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "testbox.h"

namespace {

using namespace threedee_state;
using testbox::Bytes;
using Face = std::array<int, 3>;

// One row of a page: the first and last column that are not 0 (-1, -1 if none), and
// whether everything between them has the colour c.
struct Span {
    int first = -1, last = -1;
    bool solid = true;
};
Span span_of(const std::uint8_t* page, int y, int c) {
    Span s;
    for (int x = 0; x < 640; x++) {
        if (page[y * 640 + x] == 0) continue;
        if (s.first < 0) s.first = x;
        s.last = x;
    }
    for (int x = s.first; s.first >= 0 && x <= s.last; x++) s.solid = s.solid && page[y * 640 + x] == c;
    return s;
}

int count_nonzero(const std::uint8_t* page) {
    int n = 0;
    for (int i = 0; i < kPageBytes; i++) n += page[i] != 0;
    return n;
}

class Render : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
        calc_sinetable();
    }

    // Loads the same test model in all four slots (or the built-in ones when none is
    // given), with the scene standing still and the model's origin at the eye.
    void load(const std::vector<vec3>& v = {}, const std::vector<Face>& faces = {}) {
        if (!v.empty()) {
            std::vector<Face> points;
            for (const vec3& p : v) points.push_back({p.x, p.y, p.z});
            block = testbox::model_block(points, faces);
            for (auto& s : starts) s = block.data();
        }
        ASSERT_EQ(threedee_init(), 0);
        axi = ayi = azi = 0;
        dp = {0, 0, 0};
    }

    // Keeps every star out of the picture (behind the eye), standing still.
    void hide_stars() {
        for (int s = 0; s < kStars; s++) stars[s] = {0, 0, -6000};
        syi = 0;
    }

    Bytes block;
    std::vector<std::uint8_t> page = std::vector<std::uint8_t>(kPageBytes, 0);
};

// --- transform and projection -------------------------------------------------------

// A quarter turn about x takes y to z and z to -y; about z, x to y and y to -x; about y,
// x to z and z to -x. The stages run x, then z, then y, each kept, and the offset is
// added last.
TEST_F(Render, QuarterTurnsRunAboutXThenZThenYAndAreKept) {
    ax = 4096;
    az = 4096;
    ay = 4096 + 16384 * 3;  // only the low 14 bits count
    vec3 in[] = {{100, 50, 7}}, r1[1], r2[1], r3[1];
    scene_transform(in, r1, r2, r3, 1, {1, 2, 3});
    auto xyz = [](const vec3& v) { return std::array<int, 3>{v.x, v.y, v.z}; };
    EXPECT_EQ(xyz(r1[0]), (std::array<int, 3>{100, -7, 50}));
    EXPECT_EQ(xyz(r2[0]), (std::array<int, 3>{7, 100, 50}));
    EXPECT_EQ(xyz(r3[0]), (std::array<int, 3>{-50 + 1, 100 + 2, 7 + 3}));
}

TEST_F(Render, EachProductIsShiftedOnItsOwn) {
    ax = 1;  // S = 25, C = 65535
    ay = az = 0;
    vec3 in[] = {{0, 1000, 1000}, {0, -1000, 0}}, r1[2], r2[2], r3[2];
    scene_transform(in, r1, r2, r3, 2, {0, 0, 0});
    // 999.98 - 0.38 would round to 999 or 1000 as one sum; two floors give 999 - 1.
    EXPECT_EQ(r3[0].x, 0);
    EXPECT_EQ(r3[0].y, 999);
    EXPECT_EQ(r3[0].z, 999);
    EXPECT_EQ(r3[1].x, 0);
    EXPECT_EQ(r3[1].y, -1000);
    EXPECT_EQ(r3[1].z, -1);
}

TEST_F(Render, ProjectionTruncatesTowardZero) {
    EXPECT_EQ(project(-100, 3000), -8);
    EXPECT_EQ(project(100, 3000), 8);
    EXPECT_EQ(project(-320, 256), -320);
    EXPECT_EQ(project(5, 1), 1280);
    EXPECT_EQ(project(5, 0), INT_MIN);
    EXPECT_EQ(project(5, -7), INT_MIN);
}

TEST_F(Render, DepthColours) {
    EXPECT_EQ(face_colour(9000), 239);
    EXPECT_EQ(face_colour(10095), 239);
    EXPECT_EQ(face_colour(10096), 238);
    EXPECT_EQ(face_colour(10143), 238);
    EXPECT_EQ(face_colour(10144), 237);
    EXPECT_EQ(face_colour(21519), 1);
    EXPECT_EQ(face_colour(21520), 0);
    EXPECT_EQ(face_colour(100000), 0);
    EXPECT_EQ(face_colour(-1), 239);
    EXPECT_EQ(face_colour(-500000), 239);
}

// --- filling --------------------------------------------------------------------------

// Each triangle's rows from its top one down, first and last column; nothing else is
// drawn, on the page or around it.
TEST_F(Render, FillTriangleRows) {
    const struct {
        const char* name;
        int corners[6];
        std::vector<std::array<int, 2>> spans;
    } cases[] = {
        {"flat bottom", {10, 0, 0, 4, 20, 4}, {{10, 10}, {7, 12}, {5, 15}, {2, 17}, {0, 20}}},
        // The same triangle with its corners given bottom first: sorted by row, it
        // fills the same spans.
        {"flat bottom, given upwards", {20, 4, 0, 4, 10, 0}, {{10, 10}, {7, 12}, {5, 15}, {2, 17}, {0, 20}}},
        {"flat bottom, given upwards from the left", {0, 4, 20, 4, 10, 0}, {{10, 10}, {7, 12}, {5, 15}, {2, 17}, {0, 20}}},
        // A flat top fills only its first corner in the top row; the long edge runs on
        // from there while the short edge starts again at the middle corner.
        {"flat top", {0, 0, 8, 0, 4, 4}, {{0, 0}, {1, 8}, {2, 7}, {3, 6}, {4, 5}}},
        // Slopes that do not come out even and point left: each division truncates
        // toward zero (-7/3 of a pixel a row is -152917, not -152918, in 16.16), so the
        // long edge ends at column 0 on the last row and the upper edge at column 3 on row 3.
        {"slopes to the left", {10, 0, 3, 3, 0, 7}, {{10, 10}, {7, 8}, {5, 7}, {3, 5}, {3, 4}, {2, 2}, {1, 1}, {0, 0}}},
        {"one row", {5, 3, 9, 3, 1, 3}, {{5, 5}}},
    };
    for (const auto& t : cases) {
        std::vector<std::uint8_t> guarded(3 * kPageBytes, 0);
        pix = guarded.data() + kPageBytes;
        const int* c = t.corners;
        fill_triangle(c[0], c[1], c[2], c[3], c[4], c[5], 6);
        const int top = std::min({c[1], c[3], c[5]});
        int drawn = 0;
        for (std::size_t k = 0; k < t.spans.size(); k++) {
            Span s = span_of(pix, top + int(k), 6);
            EXPECT_EQ(s.first, t.spans[k][0]) << t.name << ", row " << k;
            EXPECT_EQ(s.last, t.spans[k][1]) << t.name << ", row " << k;
            EXPECT_TRUE(s.solid) << t.name << ", row " << k;
            drawn += t.spans[k][1] - t.spans[k][0] + 1;
        }
        EXPECT_EQ(count_nonzero(pix), drawn) << t.name;
        EXPECT_EQ(count_nonzero(guarded.data()) + count_nonzero(pix + kPageBytes), 0) << t.name;
    }
}

TEST_F(Render, HorizlineEitherOrder) {
    pix = page.data();
    horizline(9, 4, 2, 5);
    Span s = span_of(page.data(), 2, 5);
    EXPECT_EQ(s.first, 4);
    EXPECT_EQ(s.last, 9);
    EXPECT_TRUE(s.solid);
    std::vector<std::uint8_t> other(kPageBytes, 0);
    pix = other.data();
    horizline(4, 9, 2, 5);
    EXPECT_EQ(page, other);
    horizline(0, 639, 479, 1);
    EXPECT_EQ(span_of(other.data(), 479, 1).first, 0);
    EXPECT_EQ(span_of(other.data(), 479, 1).last, 639);
}

// A corner off the page (or behind the eye, which projects far off it) leaves the
// whole triangle out; corners on the page's edges are drawn.
TEST_F(Render, TriangleWithACornerOffThePageIsLeftOut) {
    std::vector<std::uint8_t> guarded(3 * kPageBytes, 0);
    pix = guarded.data() + kPageBytes;
    const int off[][6] = {{-1, 0, 10, 10, 0, 20},   {639, 0, 640, 10, 600, 20}, {0, -1, 10, 10, 0, 20},
                          {0, 0, 10, 480, 0, 20},   {INT_MIN + 320, 240, 330, 250, 320, 260},
                          {320, INT_MIN + 240, 330, 250, 320, 260}};
    for (const auto& t : off) fill_triangle(t[0], t[1], t[2], t[3], t[4], t[5], 3);
    EXPECT_EQ(count_nonzero(guarded.data()) + count_nonzero(guarded.data() + kPageBytes) +
                  count_nonzero(guarded.data() + 2 * kPageBytes),
              0);

    fill_triangle(0, 0, 639, 0, 0, 479, 3);
    fill_triangle(639, 479, 639, 0, 0, 479, 3);
    EXPECT_EQ(count_nonzero(guarded.data()), 0);
    EXPECT_EQ(count_nonzero(guarded.data() + 2 * kPageBytes), 0);
    EXPECT_EQ(guarded[kPageBytes], 3);
    EXPECT_EQ(guarded[2 * kPageBytes - 1], 3);
}

// --- ordering -------------------------------------------------------------------------

TEST_F(Render, CompareFaces) {
    tri a{0, 0, 0, 5}, b{0, 0, 0, 9}, c{0, 0, 0, 5};
    EXPECT_EQ(comparefaces(&a, &c), 0);
    EXPECT_EQ(comparefaces(&a, &b), 4);
    EXPECT_EQ(comparefaces(&b, &a), -4);
    // Keys too far apart for an int difference still compare the right way round.
    tri lo{0, 0, 0, INT_MIN}, hi{0, 0, 0, INT_MAX}, zero{0, 0, 0, 0};
    EXPECT_GT(comparefaces(&lo, &hi), 0);
    EXPECT_LT(comparefaces(&hi, &lo), 0);
    EXPECT_GT(comparefaces(&lo, &zero), 0);
    EXPECT_LT(comparefaces(&zero, &lo), 0);
}

// With all faces on, the model's own array is sorted: farthest first, and faces with
// equal keys in a fixed order of their corners, whatever order they came in. Keys 255
// and 256 behind the farthest are in the order only the sort's second byte gives.
TEST_F(Render, AllFacesSortsTheModelsArrayWithAFixedTieOrder) {
    std::vector<vec3> v = {{0, 0, 1000}, {10, 0, 1000}, {0, 10, 1000}, {0, 0, 2000},
                           {10, 0, 2000}, {0, 10, 2000}, {10, 10, 1745}, {10, 10, 1744}};
    load(v, {{3, 4, 5}, {4, 3, 7}, {2, 1, 0}, {0, 1, 2}, {3, 4, 6}, {5, 4, 3}, {1, 0, 2}});
    hide_stars();
    threedee_frame(1, 0, 0, 0);
    const int order[7][4] = {{3, 4, 5, 6000}, {5, 4, 3, 6000}, {3, 4, 6, 5745}, {4, 3, 7, 5744},
                             {0, 1, 2, 3000}, {1, 0, 2, 3000}, {2, 1, 0, 3000}};
    for (int k = 0; k < 7; k++) {
        const tri& t = faces[0][k];
        EXPECT_EQ((std::vector<int>{t.a, t.b, t.c, t.depth}),
                  (std::vector<int>{order[k][0], order[k][1], order[k][2], order[k][3]}))
            << "place " << k;
    }
}

// Nearer faces are drawn over farther ones, whatever their order in the model, each in
// its depth's colour. Wound to face the viewer, they go through the back-face test.
TEST_F(Render, NearerFacesCoverFartherOnes) {
    std::vector<vec3> v = {{-100, -100, 3000}, {100, -100, 3000}, {-100, 100, 3000},      // key 9000
                           {-1000, -1000, 7173}, {1000, -1000, 7173}, {-1000, 1000, 7173}};  // key 21519
    load(v, {{0, 2, 1}, {3, 5, 4}});
    hide_stars();
    threedee_frame(0, 0, 0, 0);
    // Corners (312, 232), (328, 232), (312, 248) in front of (285, 205), (355, 205),
    // (285, 275).
    EXPECT_EQ(scrn[235 * 640 + 315], 239);
    EXPECT_EQ(scrn[232 * 640 + 312], 239);
    EXPECT_EQ(scrn[210 * 640 + 290], 1);
    EXPECT_EQ(scrn[240 * 640 + 300], 1);
    EXPECT_EQ(scrn[250 * 640 + 330], 0);
}

TEST_F(Render, BackFaceTestHasAMarginOf14999) {
    // At z 512 a coordinate lands at half its value from the centre; the normal's z is
    // the product of the two legs.
    std::vector<vec3> v = {{0, 0, 512}, {53, 0, 512},   {0, 283, 512},   // cp.z = 14999
                           {0, 0, 512}, {-100, 0, 512}, {0, -150, 512},  // 15000
                           {0, 0, 512}, {0, -40, 512},  {-30, 0, 512}};  // -1200
    load(v, {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}});
    hide_stars();
    threedee_frame(0, 0, 0, 0);
    EXPECT_EQ(scrn[250 * 640 + 325], 239);  // first face drawn
    EXPECT_EQ(scrn[230 * 640 + 310], 0);    // second dropped
    EXPECT_EQ(scrn[237 * 640 + 317], 239);  // third drawn
    // The test's vectors and normal are those of the last face tested.
    EXPECT_EQ(s1.x, 0);
    EXPECT_EQ(s1.y, -40);
    EXPECT_EQ(s2.x, -30);
    EXPECT_EQ(s2.y, 0);
    EXPECT_EQ(cp.x, 0);
    EXPECT_EQ(cp.y, 0);
    EXPECT_EQ(cp.z, -1200);

    // With all faces on the second one is drawn too.
    threedee_frame(1, 0, 0, 0);
    EXPECT_EQ(scrn[kPageBytes + 230 * 640 + 310], 239);
}

// Only the low 8 bits of each flag count: 0x100 is off.
TEST_F(Render, OnlyTheLowByteOfAFlagCounts) {
    std::vector<vec3> v = {{0, 0, 512}, {-100, 0, 512}, {0, -150, 512}};  // a back face
    load(v, {{0, 1, 2}});
    for (int s = 0; s < kStars; s++) stars[s] = {0, 0, 0};
    syi = 100;
    std::memset(scrn, 8, kPageBytes);
    threedee_frame(0x100, 0x100, 0x100, 0);
    EXPECT_EQ(count_nonzero(scrn), 0);  // cleared, not halved; no face, no star
    EXPECT_EQ(stars[0].y, 0);
    threedee_frame(0x101, 0x200, 0x1ff, 0);
    EXPECT_EQ(scrn[kPageBytes + 230 * 640 + 310], 239);
    EXPECT_EQ(scrn[kPageBytes + 240 * 640 + 320], 239);
    EXPECT_EQ(stars[0].y, 100);
}

// A corner at or behind the eye has no place on the screen: its face is left out,
// the others are drawn.
TEST_F(Render, FaceWithACornerBehindTheEyeIsLeftOut) {
    std::vector<vec3> v = {{0, 0, 1000}, {100, 0, 1000}, {0, 100, 1000}, {0, 0, 0}, {-100, 0, 1000}, {0, -100, -5}};
    load(v, {{0, 1, 2}, {3, 4, 5}});
    hide_stars();
    threedee_frame(1, 0, 0, 0);
    EXPECT_GT(count_nonzero(scrn), 0);
    for (int y = 0; y < 480; y++) {
        for (int x = 0; x < 640; x++) {
            if (scrn[y * 640 + x] != 0) {
                ASSERT_TRUE(x >= 320 && y >= 240) << x << "," << y;
            }
        }
    }
}

// --- the page -----------------------------------------------------------------------

TEST_F(Render, ModelApproachesAnglesAdvanceAndPagesTakeTurns) {
    load();
    axi = 36;
    ayi = 60;
    azi = 52;
    dp = {0, 0, 15000};
    emu::Box& box = emu::box();
    for (int frame = 1; frame <= 41; frame++) {
        int page_drawn = f;
        threedee_frame(0, 0, 0, frame % 4);
        EXPECT_EQ(box.fb.var.yoffset, unsigned(page_drawn * 480));
        EXPECT_EQ(f, frame % 4);
        EXPECT_EQ(dp.z, std::max(15000 - 250 * frame, 5000)) << "frame " << frame;
    }
    EXPECT_EQ(ax, 41 * 36);
    EXPECT_EQ(ay, 41 * 60);
    EXPECT_EQ(az, 41 * 52);
}

// At 15000 the model is out of sight; at 5000 it stands in the middle of the screen,
// in the brightest colours, with the stars around it.
TEST_F(Render, BuiltInModelsEmergeFromTheDark) {
    load();
    dp = {0, 0, 15000};
    threedee_frame(0, 0, 1, 0);
    for (int i = 0; i < kPageBytes; i++) ASSERT_TRUE(scrn[i] == 0 || scrn[i] >= 240) << "pixel " << i;
    dp.z = 5000;
    for (int m = 0; m < 4; m++) {
        f = 0;
        threedee_frame(m == 1 || m == 2, 0, 1, m);
        int faces_px = 0;
        for (int y = 0; y < 480; y++)
            for (int x = 0; x < 640; x++) {
                int p = scrn[y * 640 + x];
                if (p > 0 && p < 240) {
                    faces_px++;
                    // Every vertex lies within 2816 units: at 5000 - 2816 that is
                    // within 330 pixels of the centre.
                    ASSERT_LT(std::abs(x - 320), 331);
                    ASSERT_LT(std::abs(y - 240), 331);
                }
            }
        EXPECT_GT(faces_px, 2000) << "model " << m;
    }
}

// --- stars ------------------------------------------------------------------------------

class Stars : public Render {
protected:
    void SetUp() override {
        Render::SetUp();
        load({{0, 0, 0}}, {});
        for (int s = 0; s < kStars; s++) sry[s] = {0, 0, 0};
        syi = 0;
    }
    // Plots star 0 at view-space (x, y, z) on an empty page; the pixel that changed.
    int plot_one(int x, int y, int z, int* where = nullptr) {
        std::fill(page.begin(), page.end(), 0);
        sry[0] = {x, y, z};
        plot_stars(page.data());
        int found = -1, n = 0;
        for (int i = 0; i < kPageBytes; i++)
            if (page[i] != 0) {
                found = i;
                n++;
            }
        if (where) *where = found;
        return n == 1 ? page[found] : n == 0 ? 0 : -1;
    }
};

// Star 0 alone at view-space (x, y, z): the colour it is plotted in (0: not at all) and
// where. Nearer is brighter, from z 1 to 16383. At z 256 the screen position is the
// coordinate plus the centre; column 0, column 639 and row 0 stay free, as does
// everything off the page. Projection truncates toward zero on both sides of the centre.
TEST_F(Stars, DepthGivesTheColourAndThePageThePlace) {
    const int c = 240 * 640 + 320;
    const struct {
        int x, y, z, colour, where;
    } cases[] = {
        {0, 0, 5000, 251, c},  {0, 0, 1, 255, c},     {0, 0, 1023, 255, c}, {0, 0, 1024, 254, c},
        {0, 0, 15359, 241, c}, {0, 0, 15360, 240, c}, {0, 0, 16383, 240, c},
        {0, 0, 16384, 0, -1},  {0, 0, 0, 0, -1},      {0, 0, -1, 0, -1},
        {-320, 0, 256, 0, -1}, {-319, 0, 256, 255, c - 319}, {318, 0, 256, 255, c + 318}, {319, 0, 256, 0, -1},
        {0, -240, 256, 0, -1}, {0, -239, 256, 255, 640 + 320}, {0, 239, 256, 255, 479 * 640 + 320}, {0, 240, 256, 0, -1},
        {-100, 100, 3000, 253, c + 8 * 640 - 8},
    };
    for (const auto& t : cases) {
        int where = 0;
        EXPECT_EQ(plot_one(t.x, t.y, t.z, &where), t.colour) << t.x << ", " << t.y << ", " << t.z;
        EXPECT_EQ(where, t.where) << t.x << ", " << t.y << ", " << t.z;
    }
}

TEST_F(Stars, OnlyEmptyBytesAreCovered) {
    std::fill(page.begin(), page.end(), 0);
    page[240 * 640 + 320] = 17;
    sry[0] = {0, 0, 5000};
    plot_stars(page.data());
    EXPECT_EQ(page[240 * 640 + 320], 17);
    EXPECT_EQ(count_nonzero(page.data()), 1);
}

TEST_F(Stars, DriftWrapsAtTheTopOnly) {
    syi = 100;
    stars[0].y = 8091;
    stars[1].y = 8092;
    stars[2].y = -8192;
    stars[3].y = 8191;
    sry[3] = {0, 0, 0};  // not drawn, still drifts
    plot_stars(page.data());
    EXPECT_EQ(stars[0].y, 8191);
    EXPECT_EQ(stars[1].y, -8192);
    EXPECT_EQ(stars[2].y, -8092);
    EXPECT_EQ(stars[3].y, -8093);
    syi = 32;
    stars[0].y = 8170;
    plot_stars(page.data());
    EXPECT_EQ(stars[0].y, -8182);
}

TEST_F(Stars, FrameTurnsDrawsAndDriftsThemOnlyWithStarsOn) {
    // Angles at 0: view space is the star's own position plus (0, 0, 5000).
    for (int s = 0; s < kStars; s++) stars[s] = {0, 0, -6000};
    stars[0] = {100, -50, -2440};  // at z 2560: (330, 235)
    syi = 100;
    dp.z = 100000;
    threedee_frame(0, 0, 0, 0);
    EXPECT_EQ(count_nonzero(scrn), 0);
    EXPECT_EQ(stars[0].y, -50);
    threedee_frame(0, 0, 1, 0);
    EXPECT_EQ(scrn[kPageBytes + 235 * 640 + 330], 255 - (2560 >> 10));
    EXPECT_EQ(count_nonzero(scrn + kPageBytes), 1);
    EXPECT_EQ(stars[0].y, 50);
    EXPECT_EQ(sry[0].z, 2560);
    EXPECT_EQ(srx[0].y, -50);
}

// --- colour cycle, flip and pacing -------------------------------------------------

// The first value rand() gives after srand(seed), mod 5.
unsigned seed_for(int r) {
    for (unsigned seed = 1;; seed++) {
        std::srand(seed);
        if (std::rand() % 5 == r) return seed;
    }
}

void check_colour_choice(int from, const int expected[5]) {
    emu::Box& box = emu::box();
    for (int r = 0; r < 5; r++) {
        while (fade_step() == 0) {
        }
        curmap = from;
        std::srand(seed_for(r));
        threedee_frame(0, 0, 0, 0);
        ASSERT_EQ(curmap, expected[r]) << "from map " << from << ", rand() % 5 = " << r;
        // The new fade runs 128 steps, from the next frame on, to the chosen map.
        int steps = 0;
        while (fade_step() == 0) steps++;
        EXPECT_EQ(steps, 128);
        for (int k = 0; k < 256; k++) {
            ASSERT_EQ(box.fb.red[k], pals[curmap][k]);
            ASSERT_EQ(box.fb.blue[k], pals[curmap][512 + k]);
        }
    }
}

// The next map skips the current one; from map 0 (no light set-up) it falls in 2 to 6.
TEST_F(Render, ColourChoiceSkipsTheCurrentMap) {
    load();
    dp.z = 100000;
    const int from_3[5] = {1, 2, 4, 5, 6}, from_0[5] = {2, 3, 4, 5, 6};
    check_colour_choice(3, from_3);
    check_colour_choice(0, from_0);
}

TEST_F(Render, ColourStepsOnlyWhenTheFadeIsComplete) {
    load();
    dp.z = 100000;
    std::srand(1);
    light_threedee_init();
    int first = curmap;
    for (int frame = 0; frame < 256; frame++) threedee_frame(0, 0, 0, 0);
    EXPECT_EQ(curmap, first);
    threedee_frame(0, 0, 0, 0);  // the fade completes: a new one starts
    EXPECT_NE(curmap, first);
    EXPECT_GE(curmap, 1);
    EXPECT_LE(curmap, 6);
}

// Counts box calls, and can make one call take long (as slow drawing would).
struct Pacing : emu::Observer {
    int calls = 0;
    int calls_at_pan = -1;
    bool slow_pan = false;
    void box_call() override { calls++; }
    void request(std::uint64_t, const std::string& json) override {
        if (json.find("FBIOPAN_DISPLAY") == std::string::npos) return;
        calls_at_pan = calls;
        if (slow_pan) emu::box().clock.sleep_us(30000);
    }
};

TEST_F(Render, FrameLastsTwentyMilliseconds) {
    load();
    dp.z = 100000;
    emu::Box& box = emu::box();
    Pacing pacing;
    box.observer = &pacing;
    for (int frame = 0; frame < 5; frame++) {
        std::uint64_t start = box.clock.now_us();
        threedee_frame(0, 0, 1, 0);
        std::uint64_t took = box.clock.now_us() - start;
        EXPECT_GE(took, 20000u);
        EXPECT_LE(took, 20000u + 2 * box.config.poll_us);
        // It fed the sound device all the while: one query and one clock read a pass.
        EXPECT_GT(pacing.calls - pacing.calls_at_pan, 300);
    }
    box.observer = nullptr;
}

TEST_F(Render, OverrunFrameFeedsTheSoundOnceAndReturns) {
    load();
    dp.z = 100000;
    emu::Box& box = emu::box();
    Pacing pacing;
    pacing.slow_pan = true;
    box.observer = &pacing;
    threedee_frame(0, 0, 1, 0);
    box.observer = nullptr;
    // After the pan: one output-delay query, one clock read, done.
    EXPECT_EQ(pacing.calls - pacing.calls_at_pan, 2);
}

}  // namespace
