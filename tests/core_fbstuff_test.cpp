// Framebuffer set-up on the emulated device, with each refusal a driver can give, and
// the palette fade engine.
#include <gtest/gtest.h>

#include "box/box.h"
#include "show/fbstuff.h"
#include "testbox.h"

namespace {

struct SetupCase {
    emu::Fault fault;
    int code;
};

class FramebufferSetup : public ::testing::TestWithParam<SetupCase> {};

TEST_P(FramebufferSetup, ReportsTheStepThatFailed) {
    emu::Config config;
    config.faults.insert(GetParam().fault);
    testbox::fresh_box(config);
    EXPECT_EQ(init_framebuf(), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Refusals, FramebufferSetup,
                         ::testing::Values(SetupCase{emu::Fault::FbMissing, 1}, SetupCase{emu::Fault::FbFixedInfo, 2},
                                           SetupCase{emu::Fault::FbVarInfo, 3}, SetupCase{emu::Fault::FbModeSet, 4},
                                           SetupCase{emu::Fault::FbOtherMode, 5}, SetupCase{emu::Fault::FbMap, 6},
                                           // The virtual height is not checked.
                                           SetupCase{emu::Fault::FbShortScreen, 0}),
                         [](const auto& info) { return "Fault" + std::to_string(int(info.param.fault)); });

TEST(Framebuffer, SetsTheModeMapsAndClears) {
    emu::Box& dev = testbox::fresh_box();
    std::fill(dev.fb.memory.begin(), dev.fb.memory.end(), 0xAB);
    ASSERT_EQ(init_framebuf(), 0);
    EXPECT_EQ(vinfo.xres, 640u);
    EXPECT_EQ(vinfo.yres, 480u);
    EXPECT_EQ(vinfo.yres_virtual, 2880u);
    EXPECT_EQ(vinfo.bits_per_pixel, 8u);
    EXPECT_GE(finfo.smem_len, 640u * 2880u);
    EXPECT_EQ(scrn, dev.fb.memory.data());
    for (std::uint8_t b : dev.fb.memory) ASSERT_EQ(b, 0);
    // Page 5 can be shown; one line further cannot.
    vinfo.yoffset = 2400;
    EXPECT_EQ(box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo), 0);
    for (unsigned bad : {2401u, 0xFFFFFE20u}) {
        vinfo.yoffset = bad;
        EXPECT_EQ(box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo), -1) << bad;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(dev.fb.var.yoffset, 2400u);
}

struct Map {
    std::uint16_t r[256], g[256], b[256];
    fb_cmap cmap{0, 256, r, g, b, nullptr};
    explicit Map(std::uint16_t v) {
        std::fill(r, r + 256, v);
        std::fill(g, g + 256, v);
        std::fill(b, b + 256, v);
    }
};

class Fades : public ::testing::Test {
protected:
    void SetUp() override {
        box_ = &testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
    }
    emu::Box* box_ = nullptr;
};

TEST_F(Fades, BeforeAnyFadeNothingIsPut) {
    unsigned puts = box_->fb.cmap_puts;
    EXPECT_EQ(fade_step(), 1);
    EXPECT_EQ(fade_step(), 1);
    EXPECT_EQ(box_->fb.cmap_puts, puts);
}

TEST_F(Fades, WhiteToBlackIn16Steps) {
    Map white(65535);
    init_fadein(&white.cmap, &black, 16);
    EXPECT_EQ(box_->fb.cmap_puts, 0u);  // preparing puts nothing
    for (int i = 0; i < 16; i++) ASSERT_EQ(fade_step(), 0);
    // Increments of -4095 leave 15 of 65535 after 16 steps...
    EXPECT_EQ(box_->fb.red[0], 15);
    EXPECT_EQ(box_->fb.green[128], 15);
    EXPECT_EQ(box_->fb.blue[255], 15);
    // ...and the 17th call puts the target exactly.
    EXPECT_EQ(fade_step(), 1);
    EXPECT_EQ(box_->fb.red[0], 0);
    EXPECT_EQ(box_->fb.blue[255], 0);
    EXPECT_EQ(box_->fb.cmap_puts, 17u);
    // After completion every call re-puts the target.
    EXPECT_EQ(fade_step(), 1);
    EXPECT_EQ(box_->fb.cmap_puts, 18u);
}

TEST_F(Fades, BlackToFF00In256Steps) {
    Map target(0xFF00);
    init_fadein(&black, &target.cmap, 256);
    for (int i = 0; i < 255; i++) ASSERT_EQ(fade_step(), 0);
    EXPECT_EQ(box_->fb.green[7], 255 * 255);
    ASSERT_EQ(fade_step(), 0);
    EXPECT_EQ(box_->fb.green[7], 0xFF00);
    EXPECT_EQ(fade_step(), 1);
    EXPECT_EQ(box_->fb.green[7], 0xFF00);
}

TEST_F(Fades, UsesAllEntriesWhateverTheMapsSay) {
    Map from(0), to(1000);
    to.r[3] = 60000;
    from.cmap.start = 200;
    from.cmap.len = 1;
    init_fadein(&from.cmap, &to.cmap, 4);
    ASSERT_EQ(fade_step(), 0);
    // imap is what the device got: entry 3 moved by 60000 / 4.
    EXPECT_EQ(imap.red[3], 15000);
    EXPECT_EQ(box_->fb.red[3], 15000);
    EXPECT_EQ(box_->fb.red[0], 250);
}

}  // namespace
