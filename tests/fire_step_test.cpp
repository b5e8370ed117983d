// The fire's half-steps: feed, advance, draw and show, watched through the two fields
// and the framebuffer of an emulated box.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/fbstuff.h"
#include "show/fire.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

using fire_state::p1;
using fire_state::p2;

constexpr int kCols = 159;
constexpr int kFieldBytes = 19239;

int at(int row, int col) { return row * kCols + col; }

std::uint8_t* page(int k) { return emu::box().fb.memory.data() + k * 307200; }

// Sum of the heat in the rows every half-step computes (10 to 118).
long computed_heat(const std::uint8_t* field) {
    long sum = 0;
    for (int i = at(10, 0); i < at(119, 0); i++) sum += field[i];
    return sum;
}

bool all_zero(const std::uint8_t* field) {
    for (int i = 0; i < kFieldBytes; i++)
        if (field[i] != 0) return false;
    return true;
}

class FireStep : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
        ftty = box::fopen("/dev/tty0", "wb");
        ASSERT_NE(ftty, nullptr);
        ASSERT_EQ(fire_init(), 0);
    }
};

TEST_F(FireStep, UniformHeatStaysUniformAndTheRowsAboveTheFeedCoolExactly) {
    // 255 everywhere below row 10: the sum of four neighbours is 1020, which must not
    // wrap in byte arithmetic.
    std::memset(p1 + at(10, 0), 255, std::size_t(kFieldBytes - at(10, 0)));
    fire_frame(-1, 0);

    int wrong = 0;
    for (int i = at(10, 0); i < at(117, 0); i++) wrong += p2[i] != 255;
    EXPECT_EQ(wrong, 0) << "rows 10 to 116 only see the uniform heat";
    for (int i = 0; i < at(10, 0); i++) ASSERT_EQ(p2[i], 0) << "rows 0 to 9 are never computed";

    // Rows 117 and 118 reach into the fed bottom rows, which the feed has just zeroed. At the
    // row ends the diagonal neighbours wrap: column 0 of row 118 still sees column 158
    // of its own row, column 158 of row 117 sees column 0 of row 119.
    for (int c = 0; c < 158; c++) ASSERT_EQ(p2[at(117, c)], 191) << "column " << c;
    EXPECT_EQ(p2[at(117, 158)], 159);
    EXPECT_EQ(p2[at(118, 0)], 95);
    for (int c = 1; c < 159; c++) ASSERT_EQ(p2[at(118, c)], 63) << "column " << c;

    // Page 1 shows the first half-step.
    int off = 0;
    for (int line = 40; line < 468; line++)
        for (int x = 0; x < 636; x++) off += page(1)[line * 640 + x] != 255;
    EXPECT_EQ(off, 0);
}

TEST_F(FireStep, OneHotCellSpreadsUpwardsOnly) {
    // Rows 12 and 118, the first and last columns (where the diagonal neighbours wrap
    // into the neighbouring rows), and the middle.
    const int cells[][2] = {{12, 79}, {60, 0}, {60, 158}, {118, 0}, {118, 158}, {12, 0}, {118, 79}};
    for (const auto& rc : cells) {
        int i = at(rc[0], rc[1]);
        std::memset(p1, 0, kFieldBytes);
        p1[i] = 255;
        fire_frame(-1, 0);

        std::map<int, int> expected = {{i, 63}, {i - 159, 63}, {i - 318, 63}, {i - 158, 31}, {i - 160, 31}};
        for (int j = 0; j < kFieldBytes; j++) {
            auto e = expected.find(j);
            ASSERT_EQ(p2[j], e == expected.end() ? 0 : e->second) << "hot cell " << i << ", target " << j;
        }
    }
}

TEST_F(FireStep, EachPageShowsItsFieldFourTimesEnlargedAndNothingElseIsWritten) {
    for (int n = 0; n < 30; n++) fire_frame(-1, 1);
    // Everything the fire does not own keeps what was there before.
    constexpr std::uint8_t kUntouched = 0xA5;
    auto& memory = emu::box().fb.memory;
    std::memset(memory.data(), kUntouched, memory.size());
    fire_frame(-1, 1);
    fire_frame(2, 1);

    const std::uint8_t* fields[2] = {p1, p2};
    for (int k = 0; k < 2; k++) {
        int hot = 0;
        for (int line = 0; line < 480; line++) {
            for (int x = 0; x < 640; x++) {
                std::uint8_t got = page(k)[line * 640 + x];
                if (line >= 40 && line < 468 && x < 636) {
                    ASSERT_EQ(got, fields[k][at(line / 4, x / 4)]) << "page " << k << " line " << line << " x " << x;
                    hot += got >= 110;
                } else {
                    ASSERT_EQ(got, kUntouched) << "page " << k << " line " << line << " x " << x;
                }
            }
        }
        EXPECT_GT(hot, 10000) << "page " << k << " shows a burning fire";
    }
    for (std::size_t b = 2 * 307200; b < memory.size(); b++) ASSERT_EQ(memory[b], kUntouched) << "byte " << b;
}

TEST_F(FireStep, FeedTakesBits16To23OfRandSeededWithTheTimeOfDay) {
    std::time_t seeded_at = box::time(nullptr);
    fire_frame(-1, 1);
    std::srand(unsigned(seeded_at));
    std::vector<int> expected(2 * 318);
    for (int& v : expected) v = (std::rand() >> 16) & 255;
    for (int k = 0; k < 318; k++) {
        ASSERT_EQ(p1[at(119, 0) + k], expected[k]) << "first half-step feeds p1, cell " << k;
        ASSERT_EQ(p2[at(119, 0) + k], expected[318 + k]) << "second half-step feeds p2, cell " << k;
    }

    fire_frame(-1, 0);
    for (int k = 0; k < 318; k++) ASSERT_EQ(p1[at(119, 0) + k] | p2[at(119, 0) + k], 0) << "cell " << k;
}

TEST_F(FireStep, WithoutFeedTheFireDiesOutToAnAllZeroField) {
    for (int n = 0; n < 100; n++) fire_frame(-1, 1);
    ASSERT_GT(computed_heat(p1), 0);

    int frames = 0;
    long before = computed_heat(p1);
    while (!(all_zero(p1) && all_zero(p2)) && frames < 1000) {
        fire_frame(-1, 0);
        frames++;
        long after = computed_heat(p1);
        ASSERT_LE(after, before) << "heat only drains once nothing is fed (frame " << frames << ")";
        before = after;
    }
    ASSERT_LT(frames, 1000) << "the field never came to rest";
    for (int k = 0; k < 2; k++)
        for (int line = 40; line < 468; line++)
            for (int x = 0; x < 636; x++) ASSERT_EQ(page(k)[line * 640 + x], 0);
}

// Records what the fire does with the devices, in order.
class DeviceLog : public emu::Observer {
public:
    void request(std::uint64_t, const std::string& json) override {
        if (json.find("FBIOPAN_DISPLAY") != std::string::npos)
            events.push_back("pan " + std::to_string(emu::box().fb.var.yoffset));
        else if (json.find(R"("req":"write","dev":"/dev/dsp")") != std::string::npos)
            events.push_back("sound");
    }
    std::vector<std::string> events;
};

TEST_F(FireStep, ShowsPageOneThenFeedsTheSoundThenShowsPageZero) {
    testbox::start_tone();

    DeviceLog log;
    emu::box().observer = &log;
    EXPECT_EQ(fire_frame(-1, 1), 0);
    emu::box().observer = nullptr;
    std::vector<std::string> expected = {"pan 480", "sound", "sound", "pan 0"};
    EXPECT_EQ(log.events, expected);
    EXPECT_EQ(fcount, 2u);
    EXPECT_EQ(vinfo.yoffset, 0u);
}

TEST(FireDeinit, FreesTheFieldsAndClearsAllOfTheFramebufferButNotThePalette) {
    testbox::fresh_box();
    ASSERT_EQ(init_framebuf(), 0);
    ASSERT_EQ(fire_init(), 0);
    fire_frame(-1, 1);
    auto& memory = emu::box().fb.memory;
    std::memset(memory.data(), 0x5A, memory.size());
    unsigned puts = emu::box().fb.cmap_puts;
    auto colours = emu::box().fb.palette8();

    EXPECT_EQ(fire_deinit(), 0);
    for (std::size_t b = 0; b < finfo.smem_len; b++) ASSERT_EQ(memory[b], 0) << "byte " << b;
    EXPECT_EQ(emu::box().fb.cmap_puts, puts);
    EXPECT_EQ(emu::box().fb.palette8(), colours);
    EXPECT_EQ(p1, nullptr);
    EXPECT_EQ(p2, nullptr);
    for (std::uint8_t* mask : fire_state::firetexts) EXPECT_EQ(mask, nullptr);
}

}  // namespace
