// The pictures, font and title text the build made, checked against what the show
// does with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <zlib.h>

#include "data/pngwrite.h"
#include "endtitles.h"
#include "content_refusal.h"
#include "testbox.h"

namespace {

PalettePicture picture(const std::string& name) {
    PalettePicture p;
    EXPECT_TRUE(decode_png(testbox::read_file(std::string(CONTENT_DIR) + "/" + name), p)) << name;
    return p;
}

double luminance(const std::array<std::uint8_t, 3>& c) { return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]; }

TEST(ContentPictures, PreludePicturesHaveTheirSizesAndShareAPalette) {
    PalettePicture bg = picture("pic0.png");
    EXPECT_EQ(bg.width, 640);
    EXPECT_EQ(bg.height, 480);
    ASSERT_FALSE(bg.palette.empty());
    // Index 0 is what the bounce shows around the picture: black.
    EXPECT_EQ(bg.palette[0], (std::array<std::uint8_t, 3>{0, 0, 0}));
    for (int k = 1; k <= 3; k++) {
        PalettePicture s = picture("pic" + std::to_string(k) + ".png");
        EXPECT_EQ(s.width, 64);
        EXPECT_GE(s.height, 67);
        int drawn = 0;
        for (std::uint8_t v : s.pixels) {
            EXPECT_LT(v, bg.palette.size());
            drawn += v != 0;
        }
        // Something to see, with transparent room around it.
        EXPECT_GT(drawn, 20) << k;
        EXPECT_LT(drawn, 64 * 67 / 2) << k;
    }
}

// A PNG's bytes with its palette cut to its first `entries` colours (the chunk's
// length and CRC made again) and the pixels left as they are: a picture whose pixels
// may go past its palette, which the PNG writer refuses to make.
testbox::Bytes cut_palette(const testbox::Bytes& png, std::size_t entries) {
    auto be32 = [&](std::size_t at) {
        return std::size_t(png[at]) << 24 | std::size_t(png[at + 1]) << 16 | std::size_t(png[at + 2]) << 8 | png[at + 3];
    };
    auto put32 = [](testbox::Bytes& out, std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(std::uint8_t(v >> s));
    };
    testbox::Bytes out(png.begin(), png.begin() + 8);
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::size_t length = be32(at);
        if (std::equal(png.begin() + long(at) + 4, png.begin() + long(at) + 8, "PLTE")) {
            testbox::Bytes chunk(png.begin() + long(at) + 4, png.begin() + long(at) + 8 + long(3 * entries));
            put32(out, std::uint32_t(3 * entries));
            out.insert(out.end(), chunk.begin(), chunk.end());
            put32(out, std::uint32_t(crc32(0, chunk.data(), unsigned(chunk.size()))));
        } else {
            out.insert(out.end(), png.begin() + long(at), png.begin() + long(at + 12 + length));
        }
        at += 12 + length;
    }
    return out;
}

// A picture with pixels past the end of its palette has no colour for them: the
// contact sheet refuses it, naming the file, rather than read colours from past its
// palette.
TEST(ContentPictures, SheetRefusesPixelsPastThePalette) {
    // A sprite of four colours, one of its pixels 200.
    PalettePicture sprite;
    sprite.width = 64;
    sprite.height = 67;
    sprite.palette.assign(256, {0, 0, 0});
    sprite.palette[1] = {255, 0, 0};
    sprite.pixels.assign(std::size_t(sprite.width) * std::size_t(sprite.height), 1);
    sprite.pixels[std::size_t(30) * 64 + 20] = 200;
    const testbox::Bytes png = cut_palette(encode_png(sprite), 4);
    PalettePicture bad;
    ASSERT_TRUE(decode_png(png, bad));
    ASSERT_EQ(bad.palette.size(), 4u);
    ASSERT_EQ(bad.pixels[std::size_t(30) * 64 + 20], 200);
    EXPECT_EQ(testbox::content_sheet_refusal("pic1.png", png),
              "content-sheet: CONTENT/pic1.png has pixel index 200 past its 4 palette entries\n");
}

TEST(ContentPictures, PreludeFitsInFrontOfTheMainSoundtrack) {
    std::size_t used = 1 + testbox::read_file(std::string(CONTENT_DIR) + "/prelude.ac3").size();
    for (int k = 0; k < 4; k++) used += testbox::read_file(std::string(CONTENT_DIR) + "/pic" + std::to_string(k) + ".png").size();
    // The data builder pads picture 0 with a chunk (at least 12 bytes) to reach 181002.
    EXPECT_LE(used + 12, 181002u);
}

// The zoomer halves palette indices for its trails, so a halved index must be a
// darker colour of the logo's own ramp.
TEST(ContentPictures, LogoIsA256SquareOnABrightnessRamp) {
    PalettePicture logo = picture("logo.png");
    EXPECT_EQ(logo.width, 256);
    EXPECT_EQ(logo.height, 256);
    ASSERT_EQ(logo.palette.size(), 256u);
    for (int i = 1; i < 256; i++) EXPECT_GE(luminance(logo.palette[i]), luminance(logo.palette[i - 1])) << i;
    int clear = 0;
    for (std::uint8_t v : logo.pixels) clear += v == 0;
    EXPECT_GT(clear, 256 * 256 / 10);
    EXPECT_LT(clear, 256 * 256 * 9 / 10);
}

TEST(ContentPictures, FontIsAGridOfCellsClearOfTheStarColours) {
    PalettePicture font = picture("font.png");
    const int cw = font.width >> 4, ch = font.height >> 4;
    EXPECT_EQ(cw, endtitles::kCellWidth);
    EXPECT_EQ(ch, endtitles::kCellHeight);
    auto ink = [&](int code) {
        int n = 0;
        for (int r = 0; r < ch; r++)
            for (int c = 0; c < cw; c++) {
                std::uint8_t v = font.pixels[std::size_t((code & 15) * ch + r) * font.width + (code >> 4) * cw + c];
                EXPECT_LT(v, 240) << "code " << code;
                n += v != 0;
            }
        return n;
    };
    for (int code = 0; code < 256; code++) {
        bool drawn = (code > 32 && code < 128);
        if (drawn) EXPECT_GT(ink(code), 0) << "code " << code;
        else EXPECT_EQ(ink(code), 0) << "code " << code;
    }
}

TEST(ContentPictures, TitleTextFitsTheScreenAndTheMusic) {
    testbox::Bytes text = testbox::read_file(std::string(CONTENT_DIR) + "/titles.txt");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), 0);
    int lines = 1, length = 0;
    for (std::size_t i = 0; i + 1 < text.size(); i++) {
        EXPECT_NE(text[i], 0) << "a 0 byte before the end, at " << i;
        if (text[i] == '\n') {
            lines++;
            length = 0;
        } else {
            EXPECT_LE(++length * endtitles::kCellWidth, 640) << "line " << lines;
        }
    }
    const int rows = lines * endtitles::kCellHeight;
    EXPECT_GE(rows, 480);
    // One bitmap row scrolls per 20 ms frame from the titles' start at frame 5140; the
    // scroll should end within five seconds of the music.
    double scroll_end = 5140 * 0.032 + (rows - 480) * 0.020;
    double music_end = double(testbox::read_file(std::string(CONTENT_DIR) + "/main.ac3").size()) / 768 * 0.032;
    EXPECT_NEAR(scroll_end, music_end, 5.0);
}

// The first screen of the titles as the preview draws it uses the show's wave.
TEST(ContentPictures, TitleWaveMatchesTheShows) {
    const std::array<int, 480> offs = endtitles::wave();
    // Every row: the digest of the show's wave (Titles.WaveValues).
    EXPECT_EQ(testbox::digest(offs.data(), offs.size()), 0xae454e0c3f7074ccull);
}

TEST(ContentPictures, RebuildGivesTheSameBytes) {
    std::string dir = testbox::temp_dir();
    std::string assets = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../assets";
    ASSERT_EQ(std::system((testbox::program("tools/make-pictures") + " " + assets + " " + dir).c_str()), 0);
    for (const char* name : {"pic0.png", "pic1.png", "pic2.png", "pic3.png", "logo.png", "font.png", "titles.txt"})
        EXPECT_EQ(testbox::read_file(dir + "/" + name), testbox::read_file(std::string(CONTENT_DIR) + "/" + name)) << name;
}

}  // namespace
