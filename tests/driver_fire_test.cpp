// The fire section as the driver runs it, in virtual time: each word flares up white
// on screen at its frame, drawn from the console's own glyphs.
#include <cstring>
#include <gtest/gtest.h>

#include "box/emu/console.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/seeds.h"
#include "show/showdata.h"
#include "testshow.h"

namespace {

constexpr std::uint32_t kWordFrames[8] = {588, 613, 725, 751, 863, 890, 1001, 1026};
constexpr int kWhite = 160;

// The built-in word list, read without disturbing the program's copy.
std::vector<std::string> words() {
    std::vector<std::uint8_t> list(_binary_firewords_crypt_start, _binary_firewords_crypt_start + 37);
    simplecrypt(list.data(), list.size(), kWordsSeed);
    std::vector<std::string> out(1);
    for (std::uint8_t b : list) {
        if (b == 0 || b == '\n') {
            if (out.size() == 8) break;
            out.emplace_back();
        } else {
            out.back() += char(b);
        }
    }
    return out;
}

// Once the music reaches a word's frame, the driver lets the frame in progress end and
// then burns the word in: within the first two pages shown on page 1 from that frame
// on, the screen holds the word. Every console glyph pixel, enlarged to a 3 x 3 block
// of fire cells of 4 x 4 pixels each, is white.
// The fire is fed until 1138 and then dies out: black by its end at 1226.
TEST(FireSection, EachWordShowsUpWhiteAtItsFrameAndTheUnfedFireDiesOut) {
    struct Screens : emu::Observer {
        emu::Box* box;
        std::vector<std::string> list = words();
        int next = 0;
        int looks = 0;  // pages of page 1 looked at for the current word
        int checked = 0;
        std::vector<std::string> failures;
        // Whether the fire area of the last pages shown was black (below 110): the
        // last stretch before 1138 still burns, the unfed one after it dies out.
        bool burning_before_1138 = false;
        bool black_at_end = false;
        void request(std::uint64_t, const std::string& json) override {
            if (fcount >= 1100 && fcount < 1300 && json.find("FBIOPAN_DISPLAY") != std::string::npos) {
                bool black = true;
                for (int y = 40; y < 468 && black; y++)
                    for (int x = 0; x < 636 && black; x++) black = box->fb.shown()[y * 640 + x] < 110;
                if (fcount < 1138) burning_before_1138 = burning_before_1138 || !black;
                black_at_end = black;
            }
            if (next >= 8 || fcount < kWordFrames[next] || json.find("FBIOPAN_DISPLAY\",\"yoffset\":480") == std::string::npos)
                return;
            const std::string& word = list[std::size_t(next)];
            const std::uint8_t* screen = box->fb.shown();
            int n = int(word.size()), lit = 0, wrong = 0;
            for (int li = 0; li < n; li++)
                for (int gy = 0; gy < 8; gy++)
                    for (int gx = 0; gx < 8; gx++) {
                        if (!(emu::kConsoleFont[std::uint8_t(word[std::size_t(li)])][gy] & (0x80 >> gx))) continue;
                        lit++;
                        int row = 54 + 3 * gy, col = 79 - 12 * n + 3 * (8 * li + gx);
                        for (int y = 4 * row; y < 4 * row + 12; y++)
                            for (int x = 4 * col; x < 4 * col + 12; x++) wrong += screen[y * 640 + x] != kWhite;
                    }
            looks++;
            if (lit > 0 && wrong == 0) {
                checked++;
            } else if (looks < 2) {
                return;
            } else {
                failures.push_back(word + ": not on screen at frame " + std::to_string(fcount));
            }
            next++;
            looks = 0;
        }
    } screens;
    emu::Box& box = testshow::fresh_show_box();
    screens.box = &box;
    box.observer = &screens;
    // Section 1 runs the fire; the rest of the show follows and ends normally.
    EXPECT_EQ(testshow::run_show({"demo", "1"}), 0);
    box.observer = nullptr;
    EXPECT_EQ(screens.checked, 8);
    EXPECT_TRUE(screens.burning_before_1138);
    EXPECT_TRUE(screens.black_at_end);
    EXPECT_TRUE(screens.failures.empty()) << screens.failures.front();
}

}  // namespace
