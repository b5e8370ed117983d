// The end titles: loading the font and the text from the data stream, the text bitmap
// (lines, centring, clipping, glyph cells), the colour map, the wave, the window copy,
// the stars behind the text, the scroll and its end, and the faults a careful set-up
// survives (no 0 byte, a short text, a wide line, a font that is not one).
#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "data/pngwrite.h"
#include "show/exit_status.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/threedee.h"
#include "show/threedee_state.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

using namespace theend_state;
using testbox::Bytes;
using Pixel = std::function<std::uint8_t(int x, int y)>;

// A font picture of 16 x 16 cells of cw x ch pixels (plus extra columns and rows that
// must never be read), with one palette entry per value used.
PalettePicture font_picture(int cell_w, int cell_h, const Pixel& pixel, int extra = 0, int palette_size = 256) {
    PalettePicture p;
    p.width = 16 * cell_w + extra;
    p.height = 16 * cell_h + extra;
    p.pixels.resize(std::size_t(p.width) * std::size_t(p.height));
    for (int y = 0; y < p.height; y++)
        for (int x = 0; x < p.width; x++) p.pixels[std::size_t(y) * p.width + x] = pixel(x, y);
    for (int i = 0; i < palette_size; i++)
        p.palette.push_back({std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 7)});
    return p;
}

// Every pixel of a cell holds its code + 1, so a drawn glyph shows where it came from.
std::uint8_t cell_code(int cw, int ch, int x, int y) {
    if (x >= 16 * cw || y >= 16 * ch) return 0;
    return std::uint8_t(((x / cw) * 16 + (y / ch)) % 255 + 1);
}

// A pattern with no 0 in it, different in every column and row of a cell.
std::uint8_t busy(int x, int y) { return std::uint8_t(1 + (x * 7 + y * 13) % 250); }

class Titles : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
        calc_sinetable();
        ASSERT_EQ(threedee_init(), 0);
        ASSERT_EQ(threedee_deinit(), 0);
    }
    void TearDown() override {
        theend_deinit();
        if (fp) std::fclose(fp);
    }

    // The data stream from the font on: the picture, then the text.
    void start(const PalettePicture& font, const std::string& text) { start(encode_png(font), text); }
    void start(const Bytes& font_bytes, const std::string& text) {
        Bytes plain = font_bytes;
        plain.insert(plain.end(), text.begin(), text.end());
        fp = testbox::open_scrambled(plain, 0x7e11);
        ASSERT_NE(fp, nullptr);
        ASSERT_EQ(theend_init(), 0);
        font = decode_font(font_bytes);
    }
    static PalettePicture decode_font(const Bytes& bytes) {
        PalettePicture p;
        decode_png(bytes, p);
        return p;
    }

    // Row r of the text bitmap.
    const std::uint8_t* bitmap_row(int r) const { return sourcepic + std::size_t(r) * 640; }
    std::uint8_t font_at(int x, int y) const { return font.pixels[std::size_t(y) * font.width + x]; }

    // First and last non-zero column of a bitmap row (-1 when empty).
    std::pair<int, int> extent(int r) const {
        const std::uint8_t* row = bitmap_row(r);
        int first = -1, last = -1;
        for (int x = 0; x < 640; x++)
            if (row[x] != 0) {
                if (first < 0) first = x;
                last = x;
            }
        return {first, last};
    }

    // Fills the bitmap with rows that tell their number, and no 0 byte.
    void number_rows() {
        for (int r = 0; r < rows; r++) {
            std::uint8_t* row = sourcepic + std::size_t(r) * 640;
            std::fill(row, row + 640, std::uint8_t(5));
            row[200] = std::uint8_t(1 + r % 251);
            row[201] = std::uint8_t(1 + r / 251);
        }
    }
    // The bitmap row that page row r (in the unshifted middle) shows.
    static int shown_row(const std::uint8_t* page, int r) {
        return (page[r * 640 + 201] - 1) * 251 + (page[r * 640 + 200] - 1);
    }
    const std::uint8_t* shown_page() const {
        const emu::Box& box = emu::box();
        return box.fb.memory.data() + std::size_t(box.fb.var.yoffset) * 640;
    }

    PalettePicture font;
};

// Row 360 + j of the lower wave moves by v(j), row 119 - j of the upper one by -v(j),
// and the rows between stand still.
TEST_F(Titles, WaveValues) {
    start(font_picture(2, 2, busy), "A");
    // v(51): the product is -1.63, truncated toward zero.
    const int v[][2] = {{0, 0},    {14, 0},   {15, 1},   {25, 6},   {26, 5},  {50, 0},   {51, -1},
                        {75, -56}, {79, -60}, {82, -60}, {100, 0}, {101, 6}, {110, 71}, {119, 131}};
    for (const auto& e : v) EXPECT_EQ(offs[360 + e[0]], e[1]) << "v(" << e[0] << ")";
    for (int j = 0; j < 120; j++) {
        ASSERT_EQ(offs[119 - j], -offs[360 + j]) << "j " << j;
        ASSERT_GE(offs[360 + j], -60);
    }
    for (int r = 120; r < 360; r++) ASSERT_EQ(offs[r], 0) << "row " << r;
    // Every row as an x86-64 build has it: the same wave on every CPU.
    EXPECT_EQ(testbox::digest(offs, 480), 0xae454e0c3f7074ccull);
}

TEST_F(Titles, StarRampOverwritesTheFontPalette) {
    PalettePicture white = font_picture(2, 2, busy);
    for (auto& e : white.palette) e = {255, 255, 255};
    start(white, "A");
    const int ramp[16][2] = {{0, 0},         {0, 4096},     {0, 8192},     {0, 12288},
                             {0, 16384},     {0, 20480},    {0, 24576},    {0, 28672},
                             {0, 32768},     {8192, 36864}, {16384, 40960}, {24576, 45056},
                             {32768, 49152}, {40960, 53248}, {49152, 57344}, {57344, 61440}};
    const emu::Box& box = emu::box();
    for (int j = 0; j < 16; j++) {
        EXPECT_EQ(pal[240 + j], ramp[j][0]) << "entry " << 240 + j;
        EXPECT_EQ(pal[256 + 240 + j], ramp[j][0]) << "entry " << 240 + j;
        EXPECT_EQ(pal[512 + 240 + j], ramp[j][1]) << "entry " << 240 + j;
        // The map is on the device from the start: no fade-in.
        EXPECT_EQ(box.fb.red[240 + j], ramp[j][0]);
        EXPECT_EQ(box.fb.blue[240 + j], ramp[j][1]);
    }
    for (int k = 0; k < 240; k++) {
        ASSERT_EQ(pal[k], 0xff00);
        ASSERT_EQ(box.fb.green[k], 0xff00);
    }
}

TEST_F(Titles, ShortFontPaletteLeavesTheRestAlone) {
    start(font_picture(2, 2, [](int, int) { return std::uint8_t(1); }, 0, 16), "A");
    for (int k = 0; k < 16; k++) {
        EXPECT_EQ(pal[k], k << 8);
        EXPECT_EQ(pal[256 + k], (255 - k) << 8);
    }
    for (int k = 16; k < 240; k++) ASSERT_EQ(pal[k] | pal[256 + k] | pal[512 + k], 0) << "entry " << k;
}

TEST_F(Titles, BytesAfterTheZeroAreIgnored) {
    start(font_picture(2, 2, busy), std::string("A\0\n\nB\n", 6));
    EXPECT_EQ(lin, 1);
    EXPECT_EQ(endtitles_size, 6);
    for (int r = 2; r < rows; r++) ASSERT_EQ(extent(r).first, -1) << "row " << r;
}

// Empty lines, between two lines and after the last separator, count and leave their
// rows blank.
TEST_F(Titles, EmptyLinesLeaveTheirRowsBlank) {
    const int cw = 3, ch = 5;
    start(font_picture(cw, ch, busy), std::string("AB\n\nCD\n\0", 8));
    ASSERT_EQ(theend_state::ch, ch);
    ASSERT_EQ(lin, 4);
    for (int r = 0; r < ch; r++) EXPECT_NE(extent(r).first, -1) << "row " << r;
    for (int r = ch; r < 2 * ch; r++) EXPECT_EQ(extent(r).first, -1) << "row " << r;
    for (int r = 2 * ch; r < 3 * ch; r++) EXPECT_NE(extent(r).first, -1) << "row " << r;
    for (int r = 3 * ch; r < rows; r++) ASSERT_EQ(extent(r).first, -1) << "row " << r;
}

TEST_F(Titles, LinesAreCentred) {
    const int cw = 21, ch = 4;
    start(font_picture(cw, ch, [](int x, int y) { return cell_code(21, 4, x, y); }, 5), std::string("ABCDE\nABCD\0", 11));
    EXPECT_EQ(theend_state::cw, cw);
    EXPECT_EQ(extent(0), std::make_pair(268, 268 + 5 * cw - 1));
    EXPECT_EQ(extent(ch), std::make_pair(278, 278 + 4 * cw - 1));
}

// A line exactly as wide as the screen (32 cells of 20) and one wider (41 cells, 90
// columns past each side): every column but the last holds the glyph column that falls
// there, code k taken from cell column k >> 4, cell row k & 15; the last column stays
// empty, and the line after them is drawn as usual.
TEST_F(Titles, LinesAsWideAsTheScreenOrWiderShowTheirMiddleAndLoseColumn639) {
    const int cw = 20, ch = 2;
    std::string lines[2];
    for (int i = 0; i < 32; i++) lines[0] += char('0' + i);
    for (int i = 0; i < 41; i++) lines[1] += char('A' + i % 26);
    start(font_picture(cw, ch, busy), lines[0] + "\n" + lines[1] + "\nA");
    for (int n = 0; n < 2; n++) {
        const std::string& line = lines[n];
        const int left = 320 - int(line.size()) * cw / 2;
        for (int i = 0; i < ch; i++) {
            const std::uint8_t* row = bitmap_row(n * ch + i);
            for (int x = 0; x < 639; x++) {
                int code = (unsigned char)line[(x - left) / cw];
                ASSERT_EQ(row[x], font_at((code >> 4) * cw + (x - left) % cw, (code & 15) * ch + i))
                    << "line " << n << ", column " << x;
            }
            EXPECT_EQ(row[639], 0) << "line " << n;
        }
    }
    EXPECT_EQ(extent(2 * ch), std::make_pair(310, 329));
}

class Print : public Titles {
protected:
    void SetUp() override {
        Titles::SetUp();
        start(font_picture(2, 2, busy), "A");
        // Draw with a font of 10 x 3 cells, straight from a buffer.
        cells = font_picture(10, 3, [](int x, int y) { return cell_code(10, 3, x, y); });
        pic = cells.pixels.data();
        w = cells.width;
        theend_state::cw = 10;
        theend_state::ch = 3;
    }
    void TearDown() override {
        pic = nullptr;
        Titles::TearDown();
    }
    // Columns of row r in out that are not 0.
    std::vector<int> columns(int r) const {
        std::vector<int> c;
        for (int x = 0; x < 640; x++)
            if (out[std::size_t(r) * 640 + x] != 0) c.push_back(x);
        return c;
    }
    std::vector<int> range(int a, int b) const {
        std::vector<int> c;
        for (int x = a; x <= b; x++) c.push_back(x);
        return c;
    }
    PalettePicture cells;
    std::vector<std::uint8_t> out = std::vector<std::uint8_t>(640 * 12, 0);
};

TEST_F(Print, GlyphAcrossTheClipColumnIsCut) {
    prettyprint(out.data(), 625, 0, reinterpret_cast<const std::uint8_t*>("AB"), 639, 1);
    EXPECT_EQ(columns(0), range(625, 638));  // A whole, B cut to 4 columns
    EXPECT_EQ(out[629], 0x41 + 1);
    EXPECT_EQ(out[635], 0x42 + 1);
    EXPECT_EQ(columns(3), std::vector<int>{});
}

TEST_F(Print, GlyphAtTheClipColumnDropsTheRestOfItsLine) {
    prettyprint(out.data(), 619, 0, reinterpret_cast<const std::uint8_t*>("ABCD\nEF"), 639, 12);
    EXPECT_EQ(columns(0), range(619, 638));
    // The next line starts at x again, one cell row further down.
    EXPECT_EQ(columns(3), range(619, 638));
    EXPECT_EQ(out[3 * 640 + 619], 0x45 + 1);
    prettyprint(out.data(), 639, 6, reinterpret_cast<const std::uint8_t*>("AB"), 639, 12);
    EXPECT_EQ(columns(6), std::vector<int>{});
}

TEST_F(Print, LimitStopsAtTheRow) {
    prettyprint(out.data(), 0, 0, reinterpret_cast<const std::uint8_t*>("A\nB\nC"), 639, 6);
    EXPECT_EQ(columns(0), range(0, 9));
    EXPECT_EQ(columns(3), range(0, 9));
    EXPECT_EQ(columns(6), std::vector<int>{});
}

TEST_F(Print, LeftOfColumnZeroIsCut) {
    prettyprint(out.data(), -25, 0, reinterpret_cast<const std::uint8_t*>("ABCD"), 639, 1);
    EXPECT_EQ(columns(0), range(0, 14));  // half of C, all of D
    EXPECT_EQ(out[0], 0x43 + 1);
    EXPECT_EQ(out[5], 0x44 + 1);
    prettyprint(out.data(), INT_MIN, 3, reinterpret_cast<const std::uint8_t*>("ABCD"), 639, 4);
    EXPECT_EQ(columns(3), std::vector<int>{});
}

// --- the frame ------------------------------------------------------------------------

TEST_F(Titles, WindowIsCopiedThroughTheWaveAndColumn639IsLeftAlone) {
    start(font_picture(2, 2, busy), "A");
    number_rows();
    for (int r = 0; r < 480; r++) scrn[r * 640 + 639] = 77;
    EXPECT_EQ(theend_frame(), 1);  // a one-line text is shorter than the screen
    const std::uint8_t* page = scrn;
    EXPECT_EQ(emu::box().fb.var.yoffset, 0u);
    // Row 0 moves left by 131, row 479 right by 131, the middle not at all.
    for (int x = 0; x < 639; x++) {
        ASSERT_EQ(page[x], x + 131 <= 638 ? bitmap_row(0)[x + 131] : 0) << "column " << x;
        ASSERT_EQ(page[240 * 640 + x], bitmap_row(240)[x]) << "column " << x;
        if (x >= 131) {
            ASSERT_EQ(page[479 * 640 + x], bitmap_row(479)[x - 131]) << "column " << x;
        }
    }
    for (int x = 1; x < 131; x++) ASSERT_TRUE(page[479 * 640 + x] == 0 || page[479 * 640 + x] >= 240);
    EXPECT_EQ(page[479 * 640], 0);
    for (int r = 0; r < 480; r++) ASSERT_EQ(page[r * 640 + 639], 77) << "row " << r;
}

TEST_F(Titles, StarsShowOnlyThroughEmptyPixels) {
    start(font_picture(2, 2, busy), "A");
    std::memset(sourcepic, 0, std::size_t(rows) * 640);
    theend_frame();
    int stars = 0;
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            int p = scrn[y * 640 + x];
            if (p == 0) continue;
            stars++;
            ASSERT_GE(p, 240);
            ASSERT_TRUE(y >= 1 && x >= 1 && x <= 638) << x << "," << y;
        }
    EXPECT_GT(stars, 50);

    std::memset(sourcepic, 5, std::size_t(rows) * 640);
    theend_frame();
    for (int y = 120; y < 360; y++)
        for (int x = 0; x < 639; x++) ASSERT_EQ(scrn[kPageBytes + y * 640 + x], 5);
}

// The titles turn the stars on with their own, slower rates, from where the 3D section
// left them, and start again at page 0.
TEST_F(Titles, SceneGoesOnAtTheTitlesRates) {
    using namespace threedee_state;
    std::memset(scrn, 9, 6 * kPageBytes);
    f = 3;
    const int ax0 = ax, ay0 = ay, az0 = az, sy0 = stars[0].y;
    start(font_picture(2, 2, busy), "A");
    for (int i = 0; i < 6 * kPageBytes; i++) ASSERT_EQ(scrn[i], 0) << "byte " << i;
    EXPECT_EQ(ax, ax0);
    theend_frame();
    EXPECT_EQ(ax, ax0 + 9);
    EXPECT_EQ(ay, ay0 + 15);
    EXPECT_EQ(az, az0 + 14);
    EXPECT_EQ(stars[0].y, sy0 + 32 >= 8192 ? sy0 + 32 - 16384 : sy0 + 32);
    EXPECT_EQ(emu::box().fb.var.yoffset, 0u);
    EXPECT_EQ(f, 1);
    theend_frame();
    EXPECT_EQ(emu::box().fb.var.yoffset, 480u);
}

TEST_F(Titles, SetUpFeedsTheSoundDeviceAndReadsToTheEnd) {
    struct Counter : emu::Observer {
        int calls = 0;
        void box_call() override { calls++; }
    } counter;
    Bytes plain = encode_png(font_picture(2, 2, busy));
    std::string text = "ONE\nTWO\nTHREE";
    plain.insert(plain.end(), text.begin(), text.end());
    fp = testbox::open_scrambled(plain, 99);
    emu::box().observer = &counter;
    ASSERT_EQ(theend_init(), 0);
    emu::box().observer = nullptr;
    // Text buffer, star ramp, 120 wave entries, 3 lines, then the colour map put.
    EXPECT_EQ(counter.calls, 1 + 1 + 120 + 3 + 1);
    EXPECT_EQ(std::ftell(fp), long(plain.size()));
    EXPECT_EQ(endtitles_size, int(text.size()));
    EXPECT_EQ(std::memcmp(endtitles, "ONE\0TWO\0THREE", 13), 0);
}

TEST_F(Titles, ScrollOf480RowsEndsAtOnce) {
    start(font_picture(2, 48, busy), "1\n2\n3\n4\n5\n6\n7\n8\n9\n10");
    ASSERT_EQ(rows, 480);
    number_rows();
    for (int frame = 0; frame < 3; frame++) {
        EXPECT_EQ(theend_frame(), 1);
        EXPECT_EQ(y, 0);
        EXPECT_EQ(shown_row(shown_page(), 200), 200);
    }
}

TEST_F(Titles, ScrollOf1000RowsEndsAtFrame520) {
    std::string text = "0";
    for (int i = 1; i < 25; i++) {
        text += '\n';
        text += std::to_string(i);
    }
    start(font_picture(2, 40, busy), text);
    ASSERT_EQ(theend_state::ch * lin, 1000);
    number_rows();
    for (int frame = 1; frame <= 519; frame++) {
        ASSERT_EQ(theend_frame(), 0) << "frame " << frame;
        ASSERT_EQ(shown_row(shown_page(), 0 + 200), frame - 1 + 200);
    }
    EXPECT_EQ(theend_frame(), 1);
    EXPECT_EQ(shown_row(shown_page(), 120), 519 + 120);
    EXPECT_EQ(shown_row(shown_page(), 359), 519 + 359);
    for (int frame = 521; frame < 525; frame++) {
        EXPECT_EQ(theend_frame(), 1);
        EXPECT_EQ(shown_row(shown_page(), 120), 520 + 120);
        EXPECT_EQ(shown_row(shown_page(), 359), 520 + 359);
    }
}

TEST_F(Titles, FadeOutEndsInBlack) {
    start(font_picture(2, 2, busy), "A");
    theend_fadeout_init();
    int steps = 0;
    while (fade_step() == 0) {
        theend_frame();
        steps++;
    }
    EXPECT_EQ(steps, 256);
    const emu::Box& box = emu::box();
    for (int k = 0; k < 256; k++) ASSERT_EQ(box.fb.red[k] | box.fb.green[k] | box.fb.blue[k], 0);
}

// --- what a careful set-up survives ------------------------------------------------

TEST_F(Titles, EmptyText) {
    start(font_picture(2, 2, busy), "");
    EXPECT_EQ(endtitles_size, 0);
    EXPECT_EQ(lin, 1);
    EXPECT_EQ(rows, 480);
    EXPECT_EQ(theend_frame(), 1);
}

// A text shorter than the screen stands at the top of it; below it the bitmap is
// empty, and the scroll is at its end from the first frame.
TEST_F(Titles, ShortTextDoesNotScroll) {
    start(font_picture(2, 8, busy), "A\nB\nC");
    EXPECT_EQ(theend_state::ch * lin, 24);
    EXPECT_EQ(rows, 480);
    for (int r = 24; r < 480; r++) ASSERT_EQ(extent(r).first, -1) << "row " << r;
    EXPECT_EQ(theend_frame(), 1);
    EXPECT_EQ(theend_frame(), 1);
    EXPECT_EQ(y, 0);
    // The middle line, in row 10 of the page, through the wave there.
    const int o = offs[10];
    for (int x = 319; x <= 320; x++) EXPECT_EQ(scrn[kPageBytes + 10 * 640 + x + o], bitmap_row(10)[x]);
    EXPECT_NE(bitmap_row(10)[319], 0);
}

// A font that cannot be read leaves titles without text: the stars still turn, the
// scroll ends at once, the colour map holds only the star ramp.
TEST_F(Titles, UnreadableFontGivesTitlesWithoutText) {
    Bytes junk(300, 0x5a);
    start(junk, "A\nB");
    EXPECT_EQ(theend_state::cw, 0);
    EXPECT_EQ(theend_state::ch, 0);
    EXPECT_EQ(rows, 480);
    for (int r = 0; r < rows; r++) ASSERT_EQ(extent(r).first, -1) << "row " << r;
    for (int k = 0; k < 240; k++) ASSERT_EQ(pal[k], 0);
    EXPECT_EQ(pal[512 + 255], 61440);
    EXPECT_EQ(theend_frame(), 1);
}

TEST_F(Titles, FontWithCellsOfNoSizeDrawsNothing) {
    PalettePicture tiny = font_picture(1, 1, busy);
    tiny.width = tiny.height = 8;
    tiny.pixels.resize(64);
    start(tiny, "ABC\nDEF");
    EXPECT_EQ(lin, 2);
    for (int r = 0; r < rows; r++) ASSERT_EQ(extent(r).first, -1) << "row " << r;
    EXPECT_EQ(theend_frame(), 1);
}

// Columns and rows beyond 16 whole cells are never read; any cell size works.
TEST_F(Titles, FontOfOtherDimensions) {
    start(font_picture(2, 1, busy, 7), "AB");
    EXPECT_EQ(theend_state::cw, 2);
    EXPECT_EQ(theend_state::ch, 1);
    EXPECT_EQ(extent(0), std::make_pair(318, 321));
    EXPECT_EQ(bitmap_row(0)[318], font_at(8, 1));
    EXPECT_EQ(bitmap_row(0)[321], font_at(9, 2));
}

using TitlesDeathTest = Titles;

// A bitmap of more rows than an int counts cannot be held: treated as no memory.
TEST_F(TitlesDeathTest, TextBitmapTooTallForMemory) {
    PalettePicture tall = font_picture(1, 62499, [](int, int) { return std::uint8_t(0); });
    std::string text(40000, '\n');
    EXPECT_EXIT(start(tall, text), ::testing::ExitedWithCode(kExitNoMemory), "");
}

}  // namespace
