// Framebuffer set-up on the emulated device, with each refusal a driver can give, and
// the palette fade engine.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <set>
#include <gtest/gtest.h>

#include "box/box.h"
#include "show/fbstuff.h"
#include "testbox.h"

namespace {

struct SetupCase {
    const char* name;
    std::set<emu::Fault> faults;
    int code;
    std::uint32_t memory = 640 * 2880;
    friend void PrintTo(const SetupCase& c, std::ostream* os) { *os << c.name; }
};

class FramebufferSetup : public ::testing::TestWithParam<SetupCase> {};

TEST_P(FramebufferSetup, ReportsTheStepThatFailed) {
    emu::Config config;
    config.faults = GetParam().faults;
    config.fb_memory = GetParam().memory;
    testbox::fresh_box(config);
    EXPECT_EQ(init_framebuf(), GetParam().code);
}

using emu::Fault;
INSTANTIATE_TEST_SUITE_P(
    Refusals, FramebufferSetup,
    ::testing::Values(SetupCase{"Missing", {Fault::FbMissing}, 1}, SetupCase{"FixedInfo", {Fault::FbFixedInfo}, 2},
                      SetupCase{"VarInfo", {Fault::FbVarInfo}, 3}, SetupCase{"ModeSet", {Fault::FbModeSet}, 4},
                      SetupCase{"OtherMode", {Fault::FbOtherMode}, 5}, SetupCase{"Map", {Fault::FbMap}, 6},
                      // Lines padded to 1024 bytes would skew every picture.
                      SetupCase{"PaddedLines", {Fault::FbPaddedLines}, 5, 1024 * 2880},
                      // Memory for four pages only: the kernel refuses the virtual screen...
                      SetupCase{"FourPagesRefused", {}, 4, 4 * 307200},
                      // ...a driver that shrinks it gives four pages, which is enough,
                      SetupCase{"FourPagesShrunk", {Fault::FbShrinksVirtual}, 0, 4 * 307200},
                      // but not three and a bit: the effects would draw outside the memory.
                      SetupCase{"ShortMemoryShrunk", {Fault::FbShrinksVirtual}, 5, 4 * 307200 - 640}),
    [](const auto& info) { return std::string(info.param.name); });

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
    // A mode set asking for an offset past the virtual screen: vfb makes the virtual
    // screen taller to hold that page, which here does not fit in the memory; an offset
    // past its tallest virtual screen is refused outright. Neither changes the screen.
    vinfo.yoffset = 2401;
    EXPECT_EQ(box::ioctl(fbfd, FBIOPUT_VSCREENINFO, &vinfo), -1);
    EXPECT_EQ(errno, ENOMEM);
    vinfo.yoffset = 0xFFFFFF00u;
    EXPECT_EQ(box::ioctl(fbfd, FBIOPUT_VSCREENINFO, &vinfo), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dev.fb.var.yoffset, 2400u);
    EXPECT_EQ(dev.fb.var.yres_virtual, 2880u);
    // Where the memory holds it, the taller virtual screen is set.
    emu::Config roomy;
    roomy.fb_memory = 640 * 3000;
    emu::Box& big = testbox::fresh_box(roomy);
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    fb_var_screeninfo v = big.fb.var;
    v.yres_virtual = 2880;
    v.yoffset = 2401;
    ASSERT_EQ(box::ioctl(fd, FBIOPUT_VSCREENINFO, &v), 0);
    EXPECT_EQ(v.yres_virtual, 2881u);
    EXPECT_EQ(big.fb.var.yres_virtual, 2881u);
}

// After a mode set the console, which shows text, takes the display back, as the
// kernel's framebuffer console does: the answer keeps the pan asked for, but the
// display shows the top of the virtual screen, the console's colours and its text,
// drawn again over the first page (blank cells too) and nowhere else. A pan moves the
// display on; the same mode set again brings it back to the top.
TEST(Framebuffer, AModeSetGivesTheDisplayBackToTheConsole) {
    emu::Box& dev = testbox::fresh_box();
    std::FILE* tty = box::fopen("/dev/tty0", "wb");
    ASSERT_NE(tty, nullptr);
    std::fputs("\033[2J\033[HHI", tty);
    std::fflush(tty);
    std::fill(dev.fb.memory.begin(), dev.fb.memory.end(), 0xAB);
    dev.fb.red[7] = 0;
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    fb_var_screeninfo v = dev.fb.var;
    v.yres_virtual = 960;
    v.yoffset = 480;
    ASSERT_EQ(box::ioctl(fd, FBIOPUT_VSCREENINFO, &v), 0);
    EXPECT_EQ(v.yoffset, 480u);
    EXPECT_EQ(v.yres_virtual, 960u);
    EXPECT_EQ(dev.fb.var.yoffset, 0u);
    EXPECT_EQ(dev.fb.var.yres_virtual, 960u);
    EXPECT_EQ(dev.fb.red[7], 0xAAAA);
    constexpr std::size_t kPage = 640 * 480;
    std::size_t ink = 0;
    for (std::size_t i = 0; i < kPage; i++) {
        std::uint8_t b = dev.fb.memory[i];
        ASSERT_TRUE(b == 0 || b == emu::Console::kInk) << "byte " << i << " is " << int(b);
        if (b != 0) {
            ASSERT_LT(i % 640, 16u) << "ink outside \"HI\" at byte " << i;
            ASSERT_LT(i / 640, 8u) << "ink outside \"HI\" at byte " << i;
            ink++;
        }
    }
    EXPECT_GT(ink, 0u) << "the text is drawn again";
    EXPECT_EQ(std::count(dev.fb.memory.begin() + kPage, dev.fb.memory.end(), 0xAB),
              std::ptrdiff_t(dev.fb.memory.size() - kPage));

    ASSERT_EQ(box::ioctl(fd, FBIOPAN_DISPLAY, &v), 0);
    EXPECT_EQ(dev.fb.var.yoffset, 480u);
    v = dev.fb.var;
    ASSERT_EQ(box::ioctl(fd, FBIOPUT_VSCREENINFO, &v), 0);
    EXPECT_EQ(v.yoffset, 480u);
    EXPECT_EQ(dev.fb.var.yoffset, 0u);
    std::fclose(tty);
}

// The show gives the screen back as it found it: mode, virtual size, pan, colour map.
// It finds one that no mode set gives back by itself: a display panned to its second
// page (after a mode set the console shows the top), and colours of its own (a boot
// splash's).
TEST(Framebuffer, GivesTheScreenBackAsFound) {
    restore_framebuf();  // what an earlier test claimed goes back to its own box
    emu::Box& dev = testbox::fresh_box();
    dev.fb.var.yres_virtual = 960;
    dev.fb.var.yoffset = 480;
    for (int i = 0; i < 256; i++) {
        dev.fb.red[i] = std::uint16_t(i * 0x0101);
        dev.fb.green[i] = std::uint16_t((255 - i) * 0x0101);
        dev.fb.blue[i] = std::uint16_t((i * 7 % 256) * 0x0101);
    }
    const fb_var_screeninfo found = dev.fb.var;
    const auto found_palette = dev.fb.palette8();
    restore_framebuf();  // nothing claimed yet: nothing put
    EXPECT_EQ(dev.fb.cmap_puts, 0u);

    ASSERT_EQ(init_framebuf(), 0);
    box::ioctl(fbfd, FBIOPUTCMAP, &black);
    vinfo.yoffset = 1440;
    ASSERT_EQ(box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo), 0);
    restore_framebuf();
    EXPECT_EQ(std::memcmp(&dev.fb.var, &found, sizeof found), 0);
    EXPECT_EQ(dev.fb.palette8(), found_palette);
    // Given back once only.
    unsigned puts = dev.fb.cmap_puts;
    dev.fb.red[7] = 0;
    restore_framebuf();
    EXPECT_EQ(dev.fb.cmap_puts, puts);
    EXPECT_EQ(dev.fb.red[7], 0);
}

// A mode set the driver refused changed nothing, and giving back changes nothing either;
// a driver that cannot read its colour map back keeps the map the show left.
TEST(Framebuffer, GivesBackWhatItCouldRead) {
    emu::Config config;
    config.faults = {emu::Fault::FbModeSet, emu::Fault::FbGetCmap};
    emu::Box& dev = testbox::fresh_box(config);
    const fb_var_screeninfo found = dev.fb.var;
    ASSERT_EQ(init_framebuf(), 4);
    restore_framebuf();
    EXPECT_EQ(std::memcmp(&dev.fb.var, &found, sizeof found), 0);
    EXPECT_EQ(dev.fb.cmap_puts, 0u);
}

// FBIOGETCMAP as the kernel answers it: the entries of the range that the map has
// (from the start asked for), transparency left alone on a map without it; an empty
// range, or one starting past the map, is refused.
TEST(Framebuffer, ReadsTheColourMapEntriesThatExist) {
    emu::Box& dev = testbox::fresh_box();
    for (int i = 0; i < 256; i++) dev.fb.red[i] = dev.fb.green[i] = dev.fb.blue[i] = std::uint16_t(i * 0x0101);
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    std::array<std::uint16_t, 10> r{}, g{}, b{}, t{};
    t.fill(0x1234);
    fb_cmap map{250, 10, r.data(), g.data(), b.data(), t.data()};
    ASSERT_EQ(box::ioctl(fd, FBIOGETCMAP, &map), 0);
    for (unsigned i = 0; i < 10; i++) {
        std::uint16_t want = i < 6 ? std::uint16_t((250 + i) * 0x0101) : 0;
        EXPECT_EQ(r[i], want) << i;
        EXPECT_EQ(g[i], want) << i;
        EXPECT_EQ(b[i], want) << i;
        EXPECT_EQ(t[i], 0x1234) << i;
    }
    for (fb_cmap bad : {fb_cmap{0, 0, r.data(), g.data(), b.data(), nullptr},
                        fb_cmap{256, 1, r.data(), g.data(), b.data(), nullptr}}) {
        EXPECT_EQ(box::ioctl(fd, FBIOGETCMAP, &bad), -1) << bad.start << "+" << bad.len;
        EXPECT_EQ(errno, EINVAL);
    }
}

// FBIOPUTCMAP as the kernel takes it: an empty map is refused; on vfb a range reaching
// past entry 255 sets the entries that exist.
TEST(Framebuffer, PutsTheColourMapEntriesThatExist) {
    emu::Box& dev = testbox::fresh_box();
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    std::array<std::uint16_t, 10> c{};
    c.fill(0xBEEF);
    fb_cmap empty{0, 0, c.data(), c.data(), c.data(), nullptr};
    EXPECT_EQ(box::ioctl(fd, FBIOPUTCMAP, &empty), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dev.fb.cmap_puts, 0u);
    fb_cmap tail{250, 10, c.data(), c.data(), c.data(), nullptr};
    ASSERT_EQ(box::ioctl(fd, FBIOPUTCMAP, &tail), 0);
    EXPECT_EQ(dev.fb.red[249], 0u);
    for (unsigned i = 250; i < 256; i++) {
        EXPECT_EQ(dev.fb.red[i], 0xBEEF) << i;
        EXPECT_EQ(dev.fb.blue[i], 0xBEEF) << i;
    }
}

// A closed descriptor of the framebuffer takes no more requests; one still open does.
TEST(Framebuffer, RefusesRequestsOnAClosedDescriptor) {
    testbox::fresh_box();
    fb_var_screeninfo v{};
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    int other = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(box::close(fd), 0);
    EXPECT_EQ(box::ioctl(other, FBIOGET_VSCREENINFO, &v), 0);
    ASSERT_EQ(box::close(other), 0);
    EXPECT_EQ(box::ioctl(other, FBIOGET_VSCREENINFO, &v), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(box::mmap(640, PROT_READ, MAP_SHARED, other, 0), MAP_FAILED);
    EXPECT_EQ(box::close(other), -1);
    EXPECT_EQ(errno, EBADF);
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
