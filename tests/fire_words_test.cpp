// The fire's words: the list built into the program, the glyphs read back from the
// console, the text masks, and how a word frame puts them into the two pages. Also the
// fire palette, which fire_init puts.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "box/box.h"
#include "show/encryption.h"
#include "show/exit_status.h"
#include "show/fbstuff.h"
#include "show/fire.h"
#include "show/seeds.h"
#include "show/showdata.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

using fire_state::firetexts;
using fire_state::lens;
using fire_state::wordcnt;

constexpr int kCols = 159;
constexpr int kMaskBytes = 19080;
constexpr int kListBytes = 37;

int at(int row, int col) { return row * kCols + col; }

std::uint8_t* page(int k) { return emu::box().fb.memory.data() + k * 307200; }

// Replaces the word list built into the program, before fire_init unscrambles it.
void use_word_list(const std::string& plain) {
    ASSERT_EQ(plain.size(), std::size_t(kListBytes));
    std::uint8_t* list = _binary_firewords_crypt_start;
    std::memcpy(list, plain.data(), plain.size());
    simplecrypt(list, plain.size(), kWordsSeed);
}

// The cells of a mask that are set, as flat indices; each set cell must be 160.
std::vector<int> set_cells(const std::uint8_t* mask) {
    std::vector<int> cells;
    for (int i = 0; i < kMaskBytes; i++) {
        if (mask[i] != 0) {
            EXPECT_EQ(mask[i], 160) << "cell " << i;
            cells.push_back(i);
        }
    }
    return cells;
}

// Everything the show writes to the console, in one string.
class ConsoleText : public emu::Observer {
public:
    void request(std::uint64_t, const std::string& json) override {
        const std::string head = R"({"req":"write","dev":"/dev/tty0","text":")";
        if (json.compare(0, head.size(), head) != 0) return;
        for (std::size_t i = head.size(); i + 2 < json.size(); i++) {
            if (json[i] == '\\' && json[i + 1] == 'u') {
                text += char(std::stoi(json.substr(i + 2, 4), nullptr, 16));
                i += 5;
            } else if (json[i] == '\\') {
                text += json[++i];
            } else {
                text += json[i];
            }
        }
    }
    std::string text;
};

class FireWords : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
        ftty = box::fopen("/dev/tty0", "wb");
        ASSERT_NE(ftty, nullptr);
    }
};

TEST_F(FireWords, BuiltInListGivesEightWordsStampedFromTheConsoleGlyphs) {
    ConsoleText console;
    emu::box().observer = &console;
    ASSERT_EQ(fire_init(), 0);
    emu::box().observer = nullptr;

    // Unscrambled in place: plain text, the words ended by line feeds and a final 0.
    std::string plain(reinterpret_cast<const char*>(_binary_firewords_crypt_start), kListBytes);
    ASSERT_EQ(plain.back(), '\0');
    std::string printed = plain.substr(0, plain.find('\0'));
    std::vector<std::string> words;
    std::size_t from = 0;
    for (std::size_t end; (end = printed.find('\n', from)) != std::string::npos; from = end + 1)
        words.push_back(printed.substr(from, end - from));
    words.push_back(printed.substr(from));
    ASSERT_EQ(words.size(), 8u);
    ASSERT_EQ(wordcnt, 8);

    // The console saw: clear and home, the list and two line ends, clear and home.
    EXPECT_EQ(console.text, "\033[2J\033[H" + printed + "\n\n\033[2J\033[H");

    for (int w = 0; w < 8; w++) {
        int n = int(words[w].size());
        ASSERT_EQ(lens[w], n) << "word " << w;
        ASSERT_LE(n, 6) << "the built-in words fit the field";
        // Every glyph pixel is a 3 x 3 block, 24 cells a letter, centred on column 79.
        std::vector<std::uint8_t> expected(kMaskBytes, 0);
        for (int k = 0; k < n; k++)
            for (int gy = 0; gy < 8; gy++)
                for (int gx = 0; gx < 8; gx++)
                    if (emu::kConsoleFont[std::uint8_t(words[w][k])][gy] & (0x80 >> gx))
                        for (int d = 0; d < 9; d++)
                            expected[at(54 + 3 * gy + d / 3, 79 - 12 * n + 3 * (8 * k + gx) + d % 3)] = 160;
        ASSERT_EQ(std::memcmp(firetexts[w], expected.data(), kMaskBytes), 0) << "word " << w << " \"" << words[w] << '"';
    }

    // The words were only there to be read: the console is clear again.
    for (int b = 0; b < 307200; b++) ASSERT_EQ(page(0)[b], 0) << "byte " << b;
}

TEST_F(FireWords, SixLetterWordSpansColumns7To150AndAnEmptyWordCounts) {
    // The console's underscore fills the bottom row of its cell, so a word of them is a
    // solid bar: the mask shows exactly where a word goes.
    ASSERT_EQ(emu::kConsoleFont['_'][7], 0xFF);
    use_word_list(std::string("______\n\n__\nA\nB\nC\nD\nE\0trailing words!!", kListBytes));
    ASSERT_EQ(fire_init(), 0);

    ASSERT_EQ(wordcnt, 8) << "the bytes after the last end form no word";
    const int expected_lens[8] = {6, 0, 2, 1, 1, 1, 1, 1};
    for (int w = 0; w < 8; w++) EXPECT_EQ(lens[w], expected_lens[w]) << "word " << w;

    // Bottom glyph row 7 becomes mask rows 54 + 21 to 54 + 23.
    std::vector<int> bar;
    for (int r = 75; r <= 77; r++)
        for (int c = 7; c <= 150; c++) bar.push_back(at(r, c));
    EXPECT_EQ(set_cells(firetexts[0]), bar);

    EXPECT_TRUE(set_cells(firetexts[1]).empty()) << "an empty word has an empty mask";

    // Word 2 is read from console line 2: the empty word kept its line.
    std::vector<int> short_bar;
    for (int r = 75; r <= 77; r++)
        for (int c = 55; c <= 102; c++) short_bar.push_back(at(r, c));
    EXPECT_EQ(set_cells(firetexts[2]), short_bar);
}

TEST_F(FireWords, AListWithMoreEndsThanSlotsKeepsEightWords) {
    use_word_list(std::string(kListBytes - 1, '\n') + std::string(1, '\0'));
    ASSERT_EQ(fire_init(), 0);
    ASSERT_EQ(wordcnt, 8);
    for (int w = 0; w < 8; w++) {
        EXPECT_EQ(lens[w], 0);
        EXPECT_TRUE(set_cells(firetexts[w]).empty());
    }
}

TEST_F(FireWords, WordFrameBurnsTheMaskIntoPageOneAndOneRowHigherIntoPageZero) {
    ASSERT_EQ(fire_init(), 0);
    for (int n = 0; n < 40; n++) fire_frame(-1, 1);
    const int word = 7;
    fire_frame(word, 1);

    const std::uint8_t* mask = firetexts[word];
    int page1_cells = 0, page0_cells = 0;
    for (int r = 10; r <= 116; r++) {
        for (int c = 0; c < kCols; c++) {
            // Page 1: the cell's own mask byte. Page 0: the mask byte one row above.
            if (mask[at(r, c)] != 0) {
                page1_cells++;
                ASSERT_EQ(fire_state::p2[at(r, c)], 160);
                for (int d = 0; d < 16; d++) ASSERT_EQ(page(1)[(4 * r + d / 4) * 640 + 4 * c + d % 4], 160);
            }
            if (mask[at(r - 1, c)] != 0) {
                page0_cells++;
                ASSERT_EQ(fire_state::p1[at(r, c)], 160);
                for (int d = 0; d < 16; d++) ASSERT_EQ(page(0)[(4 * r + d / 4) * 640 + 4 * c + d % 4], 160);
            }
        }
    }
    EXPECT_GT(page1_cells, 0);
    EXPECT_EQ(page0_cells, page1_cells) << "the whole word lies inside the shown rows";
    EXPECT_EQ(emu::box().fb.var.yoffset, 0u) << "page 0 is on screen when the frame ends";
}

TEST_F(FireWords, AFullMaskForcesExactlyTheComputedRowsOfBothFields) {
    ASSERT_EQ(fire_init(), 0);
    std::memset(firetexts[0], 160, kMaskBytes);
    fire_frame(0, 0);
    for (const std::uint8_t* field : {fire_state::p1, fire_state::p2}) {
        for (int i = 0; i < at(10, 0); i++) ASSERT_EQ(field[i], 0) << "cell " << i;
        for (int i = at(10, 0); i < at(119, 0); i++) ASSERT_EQ(field[i], 160) << "cell " << i;
        for (int i = at(119, 0); i < at(121, 0); i++) ASSERT_EQ(field[i], 0) << "seed cell " << i;
    }
}

TEST(FireWithoutConsole, KeepsTheWordsButBurnsNoText) {
    testbox::fresh_box();
    ASSERT_EQ(init_framebuf(), 0);
    ftty = nullptr;
    ASSERT_EQ(fire_init(), 0);
    ASSERT_EQ(wordcnt, 8);
    for (int w = 0; w < 8; w++) {
        EXPECT_GT(lens[w], 0) << "word " << w;
        EXPECT_TRUE(set_cells(firetexts[w]).empty()) << "word " << w;
    }
}

// Every entry, from the palette's description: black to 109, two dark reds, green
// rising at full red, blue rising at full red and green, white from 144 on; each
// 8-bit channel put as c * 257.
TEST(FirePalette, PutOnceAsSixteenBitChannels) {
    testbox::fresh_box();
    ASSERT_EQ(init_framebuf(), 0);
    const emu::Framebuffer& fb = emu::box().fb;
    unsigned puts = fb.cmap_puts;
    ASSERT_EQ(fire_init(), 0);
    EXPECT_EQ(fb.cmap_puts, puts + 1);

    std::array<std::array<int, 3>, 256> rgb{};
    rgb[110] = {83, 7, 0};
    rgb[111] = {167, 15, 0};
    const int greens[9] = {27, 55, 83, 111, 139, 167, 195, 227, 255};
    for (int i = 0; i < 9; i++) rgb[std::size_t(112 + i)] = {255, greens[i], 0};
    const int blues[23] = {7, 19, 31, 43, 51, 63, 75, 87, 99, 107, 119, 131, 143, 151, 163, 175, 187, 199, 207, 219, 231, 243, 255};
    for (int i = 0; i < 23; i++) rgb[std::size_t(121 + i)] = {255, 255, blues[i]};
    for (int e = 144; e < 256; e++) rgb[std::size_t(e)] = {255, 255, 255};
    for (int e = 0; e < 256; e++) {
        EXPECT_EQ(fb.red[e], rgb[std::size_t(e)][0] * 257) << "entry " << e;
        EXPECT_EQ(fb.green[e], rgb[std::size_t(e)][1] * 257) << "entry " << e;
        EXPECT_EQ(fb.blue[e], rgb[std::size_t(e)][2] * 257) << "entry " << e;
    }
}

TEST(FirePalette, RefusedPaletteEndsTheProgramWithStatus5) {
    emu::Config config;
    config.faults.insert(emu::Fault::FbPutCmap);
    testbox::fresh_box(config);
    ASSERT_EQ(init_framebuf(), 0);
    EXPECT_EXIT(fire_init(), ::testing::ExitedWithCode(kExitSetUpFailed), "");
}

// scaletext reads framebuffer pixels: page 0 at the top of the memory.
class ScaleText : public ::testing::Test {
protected:
    void SetUp() override {
        testbox::fresh_box();
        ASSERT_EQ(init_framebuf(), 0);
    }
    std::vector<int> stamp(int srcx, int srcy, int dstx, int dsty, int width, int height) {
        std::vector<std::uint8_t> mask(kMaskBytes, 0);
        scaletext(srcx, srcy, dstx, dsty, width, height, mask.data());
        return set_cells(mask.data());
    }
    static std::vector<int> blocks(std::initializer_list<std::pair<int, int>> corners) {
        std::vector<int> cells;
        for (int r = 0; r < kMaskBytes / kCols; r++)
            for (int c = 0; c < kCols; c++)
                for (auto [br, bc] : corners)
                    if (r >= br && r < br + 3 && c >= bc && c < bc + 3) cells.push_back(at(r, c));
        return cells;
    }
};

TEST_F(ScaleText, StopsWhereAWholeBlockNoLongerFits) {
    // A 2 x 2 patch of ink.
    scrn[0] = scrn[1] = scrn[640] = scrn[641] = 7;
    EXPECT_EQ(stamp(0, 0, 156, 0, 2, 1), blocks({{0, 156}})) << "column 156: only the first source column";
    EXPECT_TRUE(stamp(0, 0, 157, 0, 2, 2).empty()) << "column 157: nothing";
    EXPECT_EQ(stamp(0, 0, 0, 117, 2, 2), blocks({{117, 0}, {117, 3}})) << "row 117: only the first source row";
    EXPECT_TRUE(stamp(0, 0, 0, 118, 2, 2).empty()) << "row 118: nothing";
    EXPECT_EQ(stamp(0, 0, 150, 114, 2, 2), blocks({{114, 150}, {114, 153}, {117, 150}, {117, 153}}));
}

TEST_F(ScaleText, StampsOnlyInkAndLeavesTheRestOfTheMaskAsItWas) {
    // Source rows are xres_virtual bytes apart: ink at (x 3, y 8) and (x 5, y 9).
    scrn[8 * 640 + 3] = 1;
    scrn[9 * 640 + 5] = 255;
    std::vector<std::uint8_t> mask(kMaskBytes, 9);
    scaletext(3, 8, 20, 30, 3, 2, mask.data());
    std::vector<int> expected = blocks({{30, 20}, {33, 26}});
    std::size_t k = 0;
    for (int i = 0; i < kMaskBytes; i++) {
        bool stamped = k < expected.size() && expected[k] == i;
        ASSERT_EQ(mask[i], stamped ? 160 : 9) << "cell " << i;
        k += stamped;
    }
    EXPECT_EQ(k, expected.size());
}

}  // namespace
