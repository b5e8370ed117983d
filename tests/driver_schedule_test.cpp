// The driver's schedule, frame by frame: which model the 3D section draws and how
// (all faces, trails, stars) at each frame of the music, the end titles' hold before
// the fade, and the first frame of music that reaches the sound device when a start
// section skips sections.
#include <gtest/gtest.h>

#include "show/ac3audio.h"
#include "show/fbstuff.h"
#include "show/threedee_state.h"
#include "show/vidparm.h"
#include "testshow.h"

namespace {

using testbox::Bytes;
using namespace threedee_state;

// The first AC-3 frames that come out of the box's digital output, as their numbers in
// the test show's main soundtrack (the long tone, whose frames all differ).
struct FirstFrame : emu::Observer {
    const Bytes& track = testshow::long_tone();
    std::size_t len = testshow::long_tone_frame_bytes();
    std::vector<long> first;
    void ac3_frame(std::uint64_t, const std::uint8_t* data, std::size_t n) override {
        if (first.size() >= 6) return;
        long found = -1;
        for (std::size_t k = 0; found < 0 && (k + 1) * len <= track.size(); k++)
            if (n == len && std::equal(data, data + n, track.begin() + long(k * len))) found = long(k);
        first.push_back(found);
    }
};

struct Params {
    int model, allfaces, trails, stars;
    bool operator==(const Params&) const = default;
};

// How the driver calls threedee_frame when it decides at frame d of the music.
Params scheduled(std::uint32_t d) {
    const int all_faces[4] = {0, 1, 1, 0};
    if (d < 2604) return {0, 0, 1, 0};
    const std::uint32_t ends[4] = {2740, 3153, 4309, 4575};
    for (int m = 0; m < 4; m++)
        if (d < ends[m]) return {m, all_faces[m], 0, 1};
    if (d < 4853) return {3, 0, 0, 1};
    int m = int((d - 4853) / 4 % 4);
    return {m, all_faces[m], 0, 1};
}

// Four small models told apart by their first vertex (x = 10, 20, 30, 40), which the
// rotation about x, the first stage, keeps: rx[0].x names the model drawn.
Bytes model_block(int m) {
    return testbox::model_block({{10 * (m + 1), 0, 0}, {0, 50, 0}, {-40, -30, 20}, {0, 0, 60}},
                                {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}});
}

// At each page the 3D section shows: the model drawn (from rx), whether every face of
// it was keyed this frame (all faces), whether the page was halved rather than cleared,
// and whether the stars drifted. Halved or cleared: every byte the page's last frame
// left around the models (which stay near the middle) is set to a marker when the page
// is shown; the next frame on the page halves the markers or clears them, where it does
// not draw over them. Frames that drew over them all tell neither (trails -1).
struct ThreeDee : FirstFrame {
    struct Frame {
        std::uint32_t fcount;
        Params p;
    };
    std::vector<Frame> frames;
    int pans = 0;
    std::int32_t star_y = 0;
    std::vector<int> planted[4];
    static constexpr std::uint8_t kMarker = 200;
    static constexpr int kTop = 140, kBottom = 340, kLeft = 220, kRight = 420;

    int halved_not_cleared(int page) const {
        int halved = 0, cleared = 0;
        for (int at : planted[page]) {
            halved += pix[at] == kMarker / 2;
            cleared += pix[at] == 0;
        }
        return halved == cleared ? -1 : halved > cleared;
    }

    void request(std::uint64_t, const std::string& json) override {
        if (json.find("FBIOPAN_DISPLAY") == std::string::npos || fcount < 2126 || fcount >= kThreedeeEnd - 3) return;
        // The first pan is light_threedee_init's, before any frame.
        if (pans++ > 0) {
            int m = rx[0].x / 10 - 1;
            ASSERT_TRUE(m >= 0 && m < 4) << rx[0].x;
            bool keyed = true;
            for (int k = 0; k < numface[m]; k++) {
                const tri& t = faces[m][k];
                keyed = keyed && t.depth == ry[t.a].z + ry[t.b].z + ry[t.c].z;
            }
            const int page = int((pix - scrn) / kPageBytes);
            frames.push_back({fcount, {m, keyed, halved_not_cleared(page), stars[0].y != star_y}});
            planted[page].clear();
            for (int y = kTop; y < kBottom; y++)
                for (int x = kLeft; x < kRight; x++)
                    if (pix[y * 640 + x] != 0) {
                        pix[y * 640 + x] = kMarker;
                        planted[page].push_back(y * 640 + x);
                    }
        }
        star_y = stars[0].y;
    }
};

TEST(Schedule, ThreeDeeModelsFlagsAndCycleFallOnTheirFrames) {
    testshow::Options options;
    emu::Box& box = testshow::fresh_show_box(options);
    Bytes blocks[4];
    for (int m = 0; m < 4; m++) {
        blocks[m] = model_block(m);
        starts[m] = blocks[m].data();
    }
    ThreeDee rec;
    box.observer = &rec;
    ASSERT_EQ(testshow::run_show({"demo", "3"}), 0);
    box.observer = nullptr;
    ASSERT_GT(rec.frames.size(), 4000u);

    // Each frame is one the driver decided on at its frame of the music, or one or two
    // frames earlier (the feed just before a frame may send two).
    int untold = 0;
    for (const auto& f : rec.frames) {
        bool fits = false;
        untold += f.p.trails < 0;
        for (std::uint32_t back = 0; back <= 2; back++) {
            Params p = scheduled(f.fcount - back);
            if (f.p.trails < 0) p.trails = -1;
            fits = fits || f.p == p;
        }
        ASSERT_TRUE(fits) << "frame " << f.fcount << ": model " << f.p.model << ", all faces " << f.p.allfaces
                          << ", trails " << f.p.trails << ", stars " << f.p.stars;
    }
    EXPECT_LT(untold, int(rec.frames.size()) / 20);
    // And every stretch of the schedule is seen: the lead-in, the four models, the
    // hold and each model of the cycle, from two frames after its start.
    std::vector<std::uint32_t> starts_at = {2126, 2604, 2740, 3153, 4309, 4575};
    for (std::uint32_t t = 4853; t < kThreedeeEnd - 4; t += 4) starts_at.push_back(t);
    for (std::size_t i = 0; i + 1 < starts_at.size(); i++) {
        std::uint32_t from = starts_at[i] + 2, to = starts_at[i + 1];
        bool seen = false;
        for (const auto& f : rec.frames) seen = seen || (f.fcount >= from && f.fcount < to && f.p == scheduled(from));
        EXPECT_TRUE(seen) << "frames " << from << " to " << to;
    }
    // The music skipped to the 3D section: frame 2126 is the first to reach the device.
    EXPECT_EQ(rec.first, (std::vector<long>{2126, 2127, 2128, 2129, 2130, 2131}));
}

// The end titles: the scroll reaches its end long after the music has ended; the last
// window is held for 2 seconds before the fade to black begins.
TEST(Schedule, TitlesHoldTheLastWindowTwoSecondsBeforeTheFade) {
    testshow::Options options;
    options.title_lines = 100;
    emu::Box& box = testshow::fresh_show_box(options);
    struct Titles : FirstFrame {
        std::uint64_t last_window_us = 0, fade_us = 0;
        unsigned maps = 0;
        void request(std::uint64_t t, const std::string& json) override {
            if (json.find("FBIOPAN_DISPLAY") != std::string::npos && theend_state::rows > 0 &&
                theend_state::y == theend_state::rows - 481)
                last_window_us = t;  // this frame moves the window to its end
            if (json.find("FBIOPUTCMAP") != std::string::npos && ++maps == 3) fade_us = t;
        }
    } rec;
    box.observer = &rec;
    ASSERT_EQ(testshow::run_show({"demo", "4"}), 0);
    box.observer = nullptr;
    // Maps: black at start-up, the titles' colours, then the fade's first step. The
    // frame that reaches the end lasts 20 ms, then 2 s of hold, ending within a frame.
    ASSERT_GT(rec.last_window_us, 0u);
    EXPECT_GE(rec.fade_us - rec.last_window_us, 2020000u);
    EXPECT_LE(rec.fade_us - rec.last_window_us, 2045000u);
    // Skipped to the end titles: the music is positioned at 5140 before the 3D set-up
    // and the frame with which it is taken down feed it.
    EXPECT_EQ(rec.first, (std::vector<long>{5140, 5141, 5142, 5143, 5144, 5145}));
}

}  // namespace
