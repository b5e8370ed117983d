// The logo zoom-rotator on the emulated box: the motion table, the brightened palette
// and its fades, the picture one table entry draws, the table walk and the frame
// pacing, and what happens to a logo that cannot be used.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <vector>

#include "data/pngwrite.h"
#include "show/ac3audio.h"
#include "show/exit_status.h"
#include "show/fbstuff.h"
#include "show/zoomer.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

constexpr char kLogo[] = "/mnt/html/gui/Velmaris.png";

PalettePicture random_logo(int size = 256) {
    PalettePicture p;
    p.width = p.height = size;
    std::mt19937 rng(2026);
    for (int i = 0; i < 256; i++) p.palette.push_back({std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())});
    p.pixels.resize(std::size_t(size) * std::size_t(size));
    // About one texel in four transparent.
    for (auto& px : p.pixels) px = rng() % 4 == 0 ? 0 : std::uint8_t(rng());
    return p;
}

const std::int32_t* entry(int n) { return zoomer_state::table + 5 * n; }

// The window one table entry draws, worked out pixel by pixel from where each sample
// lands: row r starts r steps across from (u, v) and its own step has turned by 20 r.
void reference_frame(std::uint8_t* page, const std::uint8_t* logo, const std::int32_t* e) {
    std::int64_t du = (e[4] * e[2]) >> 12, dv0 = (e[4] * e[3]) >> 12;
    for (std::int64_t r = 0; r < 220; r++) {
        std::int64_t dv = dv0 + 20 * r;
        std::int64_t u = e[0] - r * dv0 - 10 * r * (r - 1);
        std::int64_t v = e[1] + r * du;
        std::uint8_t* line = page + (20 + 2 * r) * 640 + 20;
        for (std::int64_t k = 0; k < 300; k++) {
            std::int64_t s = u + k * du, t = v + k * dv;
            std::uint8_t index = logo[((t >> 12) & 255) * 256 + ((s >> 12) & 255)];
            for (int half = 0; half < 2; half++) {
                std::uint8_t& px = line[2 * k + half];
                px = index != 0 ? index : std::uint8_t(px >> 1);
            }
        }
    }
}

class Zoomer : public ::testing::Test {
protected:
    void SetUp() override { SetUpBox(emu::Config()); }
    void SetUpBox(emu::Config config) {
        box = &testbox::fresh_box(config);
        ASSERT_EQ(init_framebuf(), 0);
    }
    void put_logo(const PalettePicture& logo) {
        std::string path = box->config.root + kLogo;
        testbox::write_file(path, {});
        ASSERT_TRUE(write_png(path, logo));
    }
    void start(const PalettePicture& logo = random_logo()) {
        put_logo(logo);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(zoom_init(), 0);
    }
    Bytes memory() const { return Bytes(box->fb.memory.begin(), box->fb.memory.end()); }

    emu::Box* box = nullptr;
};

// --- set-up ---------------------------------------------------------------------

// The angles are advanced by adding their steps entry after entry: the zoom at entries
// 500, 700, 1300 and 1700 sits on a truncation edge where an angle worked out from the
// entry number (n * step, or n * pi / 200) comes out one unit apart.
TEST_F(Zoomer, MotionTableEntries) {
    start();
    const std::int32_t expected[][6] = {
        {0, 33161216, 0, 4096, 0, 16896},
        {1, 33177493, 15, 4095, 32, 16894},
        {100, 34788359, 159680, 2896, 2896, 8704},
        {200, 36411583, 637183, 0, 4096, 512},
        {500, 41218734, 3915634, -2896, -2896, 8704},
        {700, 44332893, 7527249, 2896, -2896, 8704},
        {1300, 52915329, 23535023, -2896, -2896, 8703},
        {1700, 57732056, 36411583, 2896, 2896, 8703},
        {1999, 60724712, 45821380, -4095, 32, 16894},
    };
    for (const auto& row : expected)
        for (int i = 0; i < 5; i++) EXPECT_EQ(entry(row[0])[i], row[i + 1]) << "entry " << row[0] << " value " << i;
    // Every entry as an x86-64 build has it: the same motion on every CPU.
    EXPECT_EQ(testbox::digest(zoomer_state::table, 5 * zoomer_state::kEntries), 0x52bc1fee9abb9bb1ull);
}

TEST_F(Zoomer, LogoComesFromTheBoxFileTree) {
    PalettePicture logo = random_logo();
    start(logo);
    EXPECT_EQ(Bytes(zoomer_state::zoomlogo, zoomer_state::zoomlogo + 65536), logo.pixels);
}

TEST_F(Zoomer, PaletteIsAQuarterBrighterAndCapped) {
    PalettePicture logo = random_logo();
    logo.palette = {{0, 1, 100}, {204, 205, 255}, {203, 64, 4}};
    for (auto& px : logo.pixels) px %= 3;
    start(logo);
    // Red, green and blue of the logo's three colours; entries past them stay black.
    const int brightened[3][3] = {{0, 320, 32000}, {65280, 65535, 65535}, {64960, 20480, 1280}};
    for (int i = 0; i < 256; i++)
        for (int c = 0; c < 3; c++)
            EXPECT_EQ(zoomer_state::pal[256 * c + i], i < 3 ? brightened[i][c] : 0) << "entry " << i << " channel " << c;
}

TEST_F(Zoomer, FadesInFromBlackOverThirtyTwoFrames) {
    PalettePicture logo = random_logo();
    logo.palette[7] = {204, 0, 255};
    start(logo);
    // zoom_init has put black and prepared the fade; nothing more.
    EXPECT_EQ(box->fb.cmap_puts, 1u);
    for (int i = 0; i < 256; i++) EXPECT_EQ(box->fb.red[i] | box->fb.green[i] | box->fb.blue[i], 0) << i;

    for (int call = 1; call <= 32; call++) {
        EXPECT_EQ(zoom_frame(0), 0) << "call " << call;
        if (call == 16) {
            EXPECT_EQ(box->fb.red[7], 16 * (65280 / 32));
            EXPECT_EQ(box->fb.blue[7], 16 * (65535 / 32));
        }
    }
    EXPECT_EQ(zoom_frame(0), 1);
    for (int i = 0; i < 256; i++) {
        EXPECT_EQ(box->fb.red[i], zoomer_state::pal[i]) << i;
        EXPECT_EQ(box->fb.green[i], zoomer_state::pal[256 + i]) << i;
        EXPECT_EQ(box->fb.blue[i], zoomer_state::pal[512 + i]) << i;
    }

    // Steady frames leave the colours alone.
    unsigned puts = box->fb.cmap_puts;
    for (int i = 0; i < 5; i++) EXPECT_EQ(zoom_frame(1), 0);
    EXPECT_EQ(box->fb.cmap_puts, puts);
}

TEST_F(Zoomer, FadesOutToBlackOverSixteenFrames) {
    start();
    while (zoom_frame(0) == 0) {
    }
    zoom_fadeout_init();
    for (int call = 1; call <= 16; call++) EXPECT_EQ(zoom_frame(2), 0) << "call " << call;
    EXPECT_EQ(zoom_frame(2), 1);
    for (int i = 0; i < 256; i++) EXPECT_EQ(box->fb.red[i] | box->fb.green[i] | box->fb.blue[i], 0) << i;
}

TEST_F(Zoomer, SetUpFeedsTheAudioWhileBuildingTheTable) {
    // One virtual microsecond per poll: the clock counts the output-delay polls, one
    // for each ac3_process.
    emu::Config config;
    config.poll_us = 1;
    SetUpBox(config);
    testbox::start_tone();
    put_logo(random_logo());
    std::uint64_t before = box->clock.now_us();
    ASSERT_EQ(zoom_init(), 0);
    // Once before the fade is set up, then after every tenth of the 2000 entries.
    EXPECT_EQ(box->clock.now_us() - before, 1u + 200u);
    EXPECT_GT(box->dsp.writes, 0u);
    ac3_stop(0);
}

// --- a logo that cannot be used ends the show like a missing one -------------------

using ZoomerDeathTest = Zoomer;

// Missing, not a picture, cut short, or not 256 x 256.
TEST_F(ZoomerDeathTest, EveryUnusableLogo) {
    Bytes truncated = encode_png(random_logo());
    truncated.resize(truncated.size() / 2);
    PalettePicture narrow = random_logo(128);
    narrow.width = 256;
    narrow.height = 64;
    const std::pair<const char*, std::optional<Bytes>> logos[] = {{"missing", std::nullopt},
                                                                  {"not a picture", Bytes(1000, 'x')},
                                                                  {"truncated", truncated},
                                                                  {"256 x 64", encode_png(narrow)},
                                                                  {"128 x 128", encode_png(random_logo(128))}};
    for (const auto& [what, file] : logos) {
        if (file) testbox::write_file(box->config.root + kLogo, *file);
        EXPECT_EXIT(zoom_init(), ::testing::ExitedWithCode(kExitNoFile), "") << what;
    }
}

// --- one frame's picture ------------------------------------------------------------

// A logo as the show's is: a transparent ground, here with a disc and single opaque
// texels strewn over it, the hardest case for a drawing path that passes over the
// transparent parts.
PalettePicture strewn_logo() {
    PalettePicture p = random_logo();
    std::mt19937 rng(5);
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 256; x++) {
            const int dx = x - 90, dy = y - 170;
            const bool disc = dx * dx + dy * dy < 40 * 40;
            p.pixels[y * 256 + x] = disc || rng() % 400 == 0 ? std::uint8_t(1 + rng() % 255) : 0;
        }
    return p;
}

// Both ways of drawing: the build's own (16 pixels at once with SSE2) and a word at a
// time, as CPUs without SSE2 draw; over the whole range of zoom, with a noisy logo and a
// strewn one; and with a single opaque texel that the last of four samples reaches,
// across and then down, at each step whose pairs the word loop passes over by a map of
// the logo that just reaches that far (1, 2, 4 and 6 texels).
TEST_F(Zoomer, FrameMatchesWhereEachSampleLands) {
    PalettePicture single = random_logo();
    std::fill(single.pixels.begin(), single.pixels.end(), 0);
    single.pixels[100 * 256 + 50] = 7;
    std::vector<std::vector<std::int32_t>> reaching;
    for (int step : {1, 2, 4, 6}) {
        reaching.push_back({(50 - 3 * step) << 12, 100 << 12, 4096, 0, step * 4096});
        reaching.push_back({50 << 12, (100 - 3 * step) << 12, 0, 4096, step * 4096});
    }
    for (const PalettePicture& logo : {random_logo(), strewn_logo(), single}) {
        start(logo);
        std::vector<std::vector<std::int32_t>> entries = reaching;
        for (int n = 0; n < zoomer_state::kEntries; n += 37) entries.emplace_back(entry(n), entry(n) + 5);
        for (auto draw : {zoomrotate, zoomer_state::zoomrotate_by_words}) {
            std::mt19937 rng(7);
            for (auto& b : box->fb.memory) b = std::uint8_t(rng());
            int page = 0;
            for (const auto& e : entries) {
                Bytes expected = memory();
                reference_frame(expected.data() + page * kPageBytes, zoomer_state::zoomlogo, e.data());
                draw(e[0], e[1], e[2], e[3], e[4], scrn + page * kPageBytes);
                // Everything else, the odd lines and the margins included, keeps its bytes.
                ASSERT_EQ(memory(), expected) << "entry " << e[0] << " " << e[1] << " " << e[2] << " " << e[4];
                page = (page + 1) % 4;
            }
        }
        zoom_deinit();
    }
}

TEST_F(Zoomer, EntryZeroStepsAlongTheRowsAndShearsDownwards) {
    start();
    Bytes logo(65536);
    const std::int32_t* e = entry(0);

    // Index = logo column. u starts at texel 8096 (column 160), 4.125 texels a sample.
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 256; x++) logo[y * 256 + x] = std::uint8_t(x);
    zoomer_state::put_logo(logo.data());
    zoomrotate(e[0], e[1], e[2], e[3], e[4], scrn);
    const std::uint8_t columns[9] = {160, 164, 168, 172, 176, 180, 184, 188, 193};
    for (int k = 0; k < 9; k++) {
        EXPECT_EQ(scrn[20 * 640 + 20 + 2 * k], columns[k]) << "sample " << k;
        EXPECT_EQ(scrn[20 * 640 + 21 + 2 * k], columns[k]) << "sample " << k;
    }

    // Index = logo row. Row r starts r x 4.125 texels down and climbs 20 r / 4096 a
    // sample: row 1 stays on logo row 4 for 180 samples, row 2 on row 8 for 77.
    std::memset(scrn, 0, kPageBytes);
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 256; x++) logo[y * 256 + x] = std::uint8_t(y);
    zoomer_state::put_logo(logo.data());
    zoomrotate(e[0], e[1], e[2], e[3], e[4], scrn);
    const std::uint8_t* row1 = scrn + 22 * 640 + 20;
    const std::uint8_t* row2 = scrn + 24 * 640 + 20;
    EXPECT_EQ(row1[2 * 179], 4);
    EXPECT_EQ(row1[2 * 180], 5);
    EXPECT_EQ(row2[2 * 0], 8);
    EXPECT_EQ(row2[2 * 76], 8);
    EXPECT_EQ(row2[2 * 77], 9);
    // Row 0 runs along logo row 0, which is transparent: the cleared page stays 0.
    for (int x = 20; x < 620; x++) EXPECT_EQ(scrn[20 * 640 + x], 0) << x;
}

// --- frames: pages, the table walk, pacing ------------------------------------------

TEST_F(Zoomer, FrameDrawsTheCurrentEntryIntoTheNextPageAndShowsIt) {
    start();
    EXPECT_EQ(zoomer_state::cnt, 0);
    EXPECT_EQ(zoomer_state::j, 0);
    EXPECT_EQ(zoomer_state::f, 0);
    zoomer_state::cnt = 5 * 321;
    const std::uint32_t yoffsets[5] = {0, 480, 960, 1440, 0};
    for (int frame = 0; frame < 5; frame++) {
        int page = zoomer_state::f;
        Bytes expected = memory();
        reference_frame(expected.data() + page * kPageBytes, zoomer_state::zoomlogo, entry(321 + frame));
        zoom_frame(1);
        ASSERT_EQ(memory(), expected) << "frame " << frame;
        EXPECT_EQ(box->fb.var.yoffset, yoffsets[frame]) << "frame " << frame;
        EXPECT_EQ(zoomer_state::f, (page + 1) & 3);
    }
}

TEST_F(Zoomer, WalkTurnsAtBothEnds) {
    start();
    auto walk = [](int frames) {
        std::vector<int> used;
        for (int i = 0; i < frames; i++) {
            used.push_back(zoomer_state::cnt / 5);
            zoom_frame(1);
        }
        return used;
    };
    EXPECT_EQ(walk(3), (std::vector<int>{0, 1, 2}));
    zoomer_state::cnt = 5 * 1997;
    EXPECT_EQ(walk(6), (std::vector<int>{1997, 1998, 1999, 1999, 1998, 1997}));
    EXPECT_EQ(zoomer_state::j, 1);
    zoomer_state::cnt = 5 * 2;
    EXPECT_EQ(walk(5), (std::vector<int>{2, 1, 0, 1, 2}));
    EXPECT_EQ(zoomer_state::j, 0);
}

TEST_F(Zoomer, FramesComeEveryTwentyFiveMillisecondsWithTheAudioFed) {
    testbox::start_tone();
    start();
    std::uint64_t t0 = box->clock.now_us();
    std::uint32_t frames0 = fcount;
    for (int i = 0; i < 40; i++) zoom_frame(1);
    std::uint64_t took = box->clock.now_us() - t0;
    // A frame ends at the first poll of the clock past its 25 ms; a poll is 50 us.
    EXPECT_GE(took, 40u * 25000u);
    EXPECT_LE(took, 40u * (25000u + 150u));
    // One second of music (31.25 frames) went out while the frames were drawn, without
    // a gap; the device holds two to four frames at either end.
    EXPECT_GE(fcount - frames0, 29u);
    EXPECT_LE(fcount - frames0, 34u);
    EXPECT_EQ(box->dsp.underruns, 0u);
    ac3_stop(0);
}

TEST_F(Zoomer, DeinitClearsTheFramebufferAndKeepsTheColours) {
    start();
    while (zoom_frame(0) == 0) {
    }
    unsigned puts = box->fb.cmap_puts;
    auto red = box->fb.red;
    EXPECT_EQ(zoom_deinit(), 0);
    for (std::size_t i = 0; i < box->fb.memory.size(); i++) ASSERT_EQ(box->fb.memory[i], 0) << i;
    EXPECT_EQ(box->fb.cmap_puts, puts);
    EXPECT_EQ(box->fb.red, red);
}

}  // namespace
