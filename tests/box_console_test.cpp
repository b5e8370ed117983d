// The emulated console "/dev/tty0": text drawn with its font into the top 480 lines of
// the framebuffer memory, and the escape sequences the show writes.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "box/box.h"
#include "testbox.h"

namespace {

using emu::kConsoleFont;

constexpr int kStride = 640;

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        tty = box::fopen("/dev/tty0", "wb");
        ASSERT_NE(tty, nullptr);
    }
    void TearDown() override { std::fclose(tty); }

    void print(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), tty);
        std::fflush(tty);
    }
    static std::uint8_t* memory() { return emu::box().fb.memory.data(); }
    // True when the 8 x 8 cell at text line `line`, column `column` shows glyph c: ink
    // (non-zero) exactly where the font has a bit, 0 elsewhere.
    static ::testing::AssertionResult shows(unsigned line, unsigned column, unsigned char c) {
        for (unsigned row = 0; row < 8; row++) {
            for (unsigned bit = 0; bit < 8; bit++) {
                std::uint8_t px = memory()[(8 * line + row) * kStride + 8 * column + bit];
                bool ink = kConsoleFont[c][row] & (0x80 >> bit);
                if ((px != 0) != ink)
                    return ::testing::AssertionFailure()
                           << "line " << line << " column " << column << " pixel row " << row << " bit " << bit
                           << " is " << int(px) << ", glyph 0x" << std::hex << int(c);
            }
        }
        return ::testing::AssertionSuccess();
    }
    static bool blank(std::size_t from, std::size_t to) {
        for (std::size_t b = from; b < to; b++)
            if (memory()[b] != 0) return false;
        return true;
    }

    std::FILE* tty = nullptr;
};

TEST_F(Console, TextLineIDrawsAtPixelRows8iTo8iPlus7InkOnZero) {
    print("Ab\n!z");
    EXPECT_TRUE(shows(0, 0, 'A'));
    EXPECT_TRUE(shows(0, 1, 'b'));
    EXPECT_TRUE(shows(1, 0, '!'));
    EXPECT_TRUE(shows(1, 1, 'z'));
    std::set<int> values;
    for (int b = 0; b < 16 * kStride; b++) values.insert(memory()[b]);
    EXPECT_EQ(values, (std::set<int>{0, emu::Console::kInk}));
    EXPECT_TRUE(blank(16 * kStride, emu::box().fb.memory.size())) << "nothing below text line 1";
}

TEST_F(Console, DrawsIntoTheTopOfTheMemoryWhateverPageIsShown) {
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    fb_var_screeninfo var{};
    ASSERT_EQ(box::ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
    var.yres_virtual = 2880;
    ASSERT_EQ(box::ioctl(fd, FBIOPUT_VSCREENINFO, &var), 0);
    var.yoffset = 960;
    ASSERT_EQ(box::ioctl(fd, FBIOPAN_DISPLAY, &var), 0);
    print("HI");
    EXPECT_TRUE(shows(0, 0, 'H'));
    EXPECT_TRUE(shows(0, 1, 'I'));
    EXPECT_TRUE(blank(480 * kStride, emu::box().fb.memory.size()));
}

TEST_F(Console, NewlineStartsTheNextLineAtColumnZero) {
    print("abc\nd\r\ne");
    EXPECT_TRUE(shows(1, 0, 'd'));
    EXPECT_TRUE(shows(2, 0, 'e')) << "carriage return and line feed make one line end";
    EXPECT_EQ(emu::box().console.line, 2u);
    EXPECT_EQ(emu::box().console.column, 1u);
}

TEST_F(Console, LongLinesWrapAndTheLastLineScrollsUp) {
    print(std::string(80, '-') + "W");
    EXPECT_TRUE(shows(0, 79, '-'));
    EXPECT_TRUE(shows(1, 0, 'W')) << "column 80 continues on the next line";

    print("\033[2J\033[HTOP" + std::string(59, '\n') + "END\n");
    EXPECT_TRUE(blank(0, 8 * kStride)) << "the first line has scrolled away";
    EXPECT_TRUE(shows(58, 0, 'E'));
    EXPECT_TRUE(blank(59 * 8 * kStride, 480 * kStride)) << "a fresh last line";
}

TEST_F(Console, ClearScreenBlanksTheTextAreaAndLeavesTheCursor) {
    auto& mem = emu::box().fb.memory;
    std::memset(mem.data(), 0x33, mem.size());
    print("XY\033[2JZ");
    EXPECT_TRUE(shows(0, 2, 'Z')) << "the cursor stays where it was";
    for (std::size_t b = 0; b < 480 * kStride; b++) {
        bool in_z = b / kStride < 8 && b % kStride >= 16 && b % kStride < 24;
        if (!in_z) {
            ASSERT_EQ(mem[b], 0) << "byte " << b;
        }
    }
    for (std::size_t b = 480 * kStride; b < mem.size(); b++) ASSERT_EQ(mem[b], 0x33) << "byte " << b;
}

TEST_F(Console, HomeMovesTheCursorToTheTopLeft) {
    print("ab\ncd\033[HE");
    EXPECT_TRUE(shows(0, 0, 'E'));
    EXPECT_TRUE(shows(0, 1, 'b'));
    EXPECT_TRUE(shows(1, 0, 'c'));
}

TEST_F(Console, EscapeSequencesSplitAcrossWritesAreStillUnderstood) {
    print("abc\ndef");
    print("\033");
    print("[");
    print("2");
    print("J\033[");
    print("H");
    EXPECT_TRUE(blank(0, 480 * kStride));
    print("g");
    EXPECT_TRUE(shows(0, 0, 'g'));
}

TEST_F(Console, SequencesItDoesNotDrawLeaveNoInk) {
    print("\033[?17;0;127c\033[1;1fQ");
    EXPECT_EQ(emu::box().console.cursor_shape, "17;0;127");
    EXPECT_TRUE(shows(0, 0, 'Q')) << "no parameter byte was drawn";
    print("\033c");
    EXPECT_EQ(emu::box().console.resets, 1u);
    EXPECT_TRUE(blank(0, 480 * kStride));
    // The reset gives the cursor its default appearance back, as does a first parameter of 0.
    EXPECT_EQ(emu::box().console.cursor_shape, "");
    print("\033[?17;0;127c\033[?0;5c");
    EXPECT_EQ(emu::box().console.cursor_shape, "");
}

// Shown and hidden; a reset gives the cursor the visibility the box booted with.
TEST_F(Console, AResetGivesTheCursorItsVisibilityFromBoot) {
    print("\033[?25h");
    EXPECT_TRUE(emu::box().console.cursor_shown);
    print("\033c");
    EXPECT_FALSE(emu::box().console.cursor_shown);

    std::fclose(tty);
    emu::Config shown;
    shown.cursor_shown = true;
    testbox::fresh_box(shown);
    tty = box::fopen("/dev/tty0", "wb");
    print("\033[?25l");
    EXPECT_FALSE(emu::box().console.cursor_shown);
    print("\033c");
    EXPECT_TRUE(emu::box().console.cursor_shown);
}

// The console's sixteen colours, as the kernel's framebuffer console puts them into the
// colour map at start and after every mode set: its default colours in the order of the
// PC's text palette (entry 1 blue, 4 red, 6 brown).
TEST_F(Console, PutsItsColoursInThePcTextPaletteOrder) {
    static const std::uint8_t kColours[16][3] = {
        {0x00, 0x00, 0x00}, {0x00, 0x00, 0xaa}, {0x00, 0xaa, 0x00}, {0x00, 0xaa, 0xaa},
        {0xaa, 0x00, 0x00}, {0xaa, 0x00, 0xaa}, {0xaa, 0x55, 0x00}, {0xaa, 0xaa, 0xaa},
        {0x55, 0x55, 0x55}, {0x55, 0x55, 0xff}, {0x55, 0xff, 0x55}, {0x55, 0xff, 0xff},
        {0xff, 0x55, 0x55}, {0xff, 0x55, 0xff}, {0xff, 0xff, 0x55}, {0xff, 0xff, 0xff}};
    int fd = box::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    std::uint16_t grey[256];
    std::fill(std::begin(grey), std::end(grey), std::uint16_t(0x1234));
    fb_cmap map{0, 256, grey, grey, grey, nullptr};
    for (bool mode_set : {false, true}) {
        if (mode_set) {
            ASSERT_EQ(box::ioctl(fd, FBIOPUTCMAP, &map), 0);
            fb_var_screeninfo var{};
            ASSERT_EQ(box::ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
            ASSERT_EQ(box::ioctl(fd, FBIOPUT_VSCREENINFO, &var), 0);
        }
        std::uint16_t r[17], g[17], b[17];
        fb_cmap got{0, 17, r, g, b, nullptr};
        ASSERT_EQ(box::ioctl(fd, FBIOGETCMAP, &got), 0);
        for (int i = 0; i < 16; i++) {
            EXPECT_EQ(r[i], kColours[i][0] * 0x101) << "entry " << i << (mode_set ? " after a mode set" : " at start");
            EXPECT_EQ(g[i], kColours[i][1] * 0x101) << "entry " << i << (mode_set ? " after a mode set" : " at start");
            EXPECT_EQ(b[i], kColours[i][2] * 0x101) << "entry " << i << (mode_set ? " after a mode set" : " at start");
        }
        EXPECT_EQ(r[16], mode_set ? 0x1234 : 0) << "the console's colours end at entry 15";
    }
    ASSERT_EQ(box::close(fd), 0);
}

TEST(ConsoleFont, EveryPrintableCharacterHasItsOwnInkedGlyph) {
    std::set<std::vector<std::uint8_t>> shapes;
    for (int c = 0x21; c <= 0x7E; c++) {
        std::vector<std::uint8_t> rows(kConsoleFont[c], kConsoleFont[c] + 8);
        EXPECT_NE(rows, std::vector<std::uint8_t>(8, 0)) << "glyph 0x" << std::hex << c << " is blank";
        EXPECT_TRUE(shapes.insert(rows).second) << "glyph 0x" << std::hex << c << " repeats another";
    }
    for (int c = 0; c < 256; c++) {
        if (c >= 0x21 && c <= 0x7E) continue;
        for (int r = 0; r < 8; r++) EXPECT_EQ(kConsoleFont[c][r], 0) << "code 0x" << std::hex << c;
    }
}

}  // namespace
