// The thanks prelude on the emulated box: what it shows, the sprites, the bounce, and
// the state it leaves for the show.
#include <cstring>
#include <gtest/gtest.h>

#include "box/box.h"
#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/exit_status.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/seeds.h"
#include "show/vidparm.h"
#include "testshow.h"

namespace {

PalettePicture load_item(const std::string& root, const std::string& name) {
    PalettePicture p;
    EXPECT_TRUE(decode_png(testbox::read_file(root + "/items/" + name), p));
    return p;
}

// Where each sprite frame is drawn, in order: the two animations.
struct Place {
    int picture, x, y;
};
const Place kFrames[10] = {{3, 410, 50},  {2, 410, 50},  {1, 410, 50},  {2, 410, 50},  {3, 410, 50},
                           {3, 230, 353}, {2, 230, 353}, {1, 230, 353}, {2, 230, 353}, {3, 230, 353}};

class Prelude : public ::testing::Test {
protected:
    void SetUp() override {
        box_ = &testshow::fresh_show_box({false, 40});
        ASSERT_EQ(init_framebuf(), 0);
        box::ioctl(fbfd, FBIOPUTCMAP, &black);
        fp = box::fopen(DEMO_DATA_PATH, "rb");
        ASSERT_NE(fp, nullptr);
        initcrypt(kDataSeed);
    }
    emu::Box* box_ = nullptr;
};

// The test show's prelude soundtrack is shorter than the fade's start: every wait ends
// with the music, and the fade, the sprites and the bounce still run in full.
TEST_F(Prelude, LeavesTheStreamAtTheSeparatorAndEverythingBlank) {
    struct Pans : emu::Observer {
        std::vector<unsigned> offsets;
        int puts = 0, sprites = 0, fade_sleeps = 0;
        void request(std::uint64_t, const std::string& json) override {
            auto at = json.find("FBIOPAN_DISPLAY\",\"yoffset\":");
            if (at != std::string::npos) offsets.push_back(unsigned(std::stoul(json.substr(at + 27))));
            puts += json.find("FBIOPUTCMAP") != std::string::npos;
        }
        void sleep(std::uint64_t, std::uint32_t us) override {
            sprites += us == 50000;
            fade_sleeps += us == 12000;
        }
    } pans;
    box_->observer = &pans;
    thnx();
    box_->observer = nullptr;
    EXPECT_EQ(pans.sprites, 10);
    EXPECT_EQ(pans.fade_sleeps, 256);
    EXPECT_EQ(pans.puts, 257 + 1);  // the fade's 256 steps and its target, then black

    EXPECT_EQ(std::ftell(fp), kMainSoundtrackOffset - 1);
    EXPECT_EQ(fcount, 0u);
    EXPECT_FALSE(box_->dsp.is_open());
    for (std::uint8_t b : box_->fb.memory) ASSERT_EQ(b, 0);
    for (int i = 0; i < 256; i++) ASSERT_EQ(box_->fb.red[i] | box_->fb.green[i] | box_->fb.blue[i], 0);
    EXPECT_EQ(box_->fb.var.yoffset, 0u);

    // Page 1 first; then the bounce's 43 offsets, 720 twice at the top; then page 0.
    const unsigned bounce[43] = {480, 510, 538, 564, 588, 610, 630, 648, 664, 678, 690, 700, 708, 714, 718,
                                 720, 720, 718, 714, 708, 700, 690, 678, 664, 648, 630, 610, 588, 564, 538,
                                 510, 480, 448, 414, 378, 340, 300, 258, 214, 168, 120, 70,  18};
    ASSERT_EQ(pans.offsets.size(), 45u);
    EXPECT_EQ(pans.offsets.front(), 480u);
    for (int i = 0; i < 43; i++) EXPECT_EQ(pans.offsets[std::size_t(i) + 1], bounce[i]) << i;
    EXPECT_EQ(pans.offsets.back(), 0u);

    // The whole sine table was built, the same as at once.
    std::vector<std::int32_t> stepped(sinetable, sinetable + 16384);
    calc_sinetable();
    EXPECT_TRUE(std::equal(stepped.begin(), stepped.end(), sinetable));
    EXPECT_EQ(calc_step(), 1);
}

// Each sprite frame stays on screen for a 50 ms sleep: look at page 1 then. Pixels of
// value 0 show the background, and so does everything the previous frame covered.
TEST_F(Prelude, SpritesCoverOnlyTheirOwnPixels) {
    struct Watch : emu::Observer {
        emu::Box* box = nullptr;
        PalettePicture background, pics[4];
        int frames = 0;
        int wrong = 0;
        void sleep(std::uint64_t, std::uint32_t us) override {
            if (us != 50000 || frames >= 10) return;
            const Place& at = kFrames[frames++];
            const std::uint8_t* page1 = box->fb.memory.data() + 307200;
            for (int y = 0; y < 480; y++)
                for (int x = 0; x < 640; x++) {
                    int o = y * 640 + x;
                    int i = x - at.x, j = y - at.y;
                    bool inside = i >= 0 && i < 64 && j >= 0 && j < 67;
                    std::uint8_t s = inside ? pics[at.picture].pixels[std::size_t(j * 64 + i)] : 0;
                    wrong += page1[o] != (s != 0 ? s : background.pixels[std::size_t(o)]);
                }
        }
    } watch;
    std::string root = box_->config.root;
    watch.box = box_;
    watch.background = load_item(root, "pic0.png");
    for (int i = 1; i < 4; i++) watch.pics[i] = load_item(root, "pic" + std::to_string(i) + ".png");
    box_->observer = &watch;
    thnx();
    box_->observer = nullptr;
    EXPECT_EQ(watch.frames, 10);
    EXPECT_EQ(watch.wrong, 0);
}

class PreludeWithMusic : public Prelude {
    void SetUp() override {
        testshow::Options options{false, 40, 460};
        box_ = &testshow::fresh_show_box(options);
        ASSERT_EQ(init_framebuf(), 0);
        fp = box::fopen(DEMO_DATA_PATH, "rb");
        ASSERT_NE(fp, nullptr);
        initcrypt(kDataSeed);
    }
};

TEST_F(PreludeWithMusic, FadesInFromFrame174AndAnimatesAt421And445) {
    struct Times : emu::Observer {
        std::uint32_t first_fade = 0, first_sprite = 0, second_sprite = 0;
        int puts = 0, sprites = 0;
        void request(std::uint64_t, const std::string& json) override {
            if (json.find("FBIOPUTCMAP") != std::string::npos && puts++ == 0) first_fade = fcount;
        }
        void sleep(std::uint64_t, std::uint32_t us) override {
            if (us != 50000) return;
            if (sprites == 0) first_sprite = fcount;
            if (sprites == 5) second_sprite = fcount;
            sprites++;
        }
    } times;
    box_->observer = &times;
    thnx();
    box_->observer = nullptr;
    EXPECT_EQ(times.sprites, 10);
    EXPECT_EQ(times.puts, 257 + 1);  // the fade's 256 steps and its target, then black
    EXPECT_GE(times.first_fade, 174u);
    EXPECT_LE(times.first_fade, 175u);
    EXPECT_GE(times.first_sprite, 421u);
    EXPECT_LE(times.first_sprite, 422u);
    EXPECT_GE(times.second_sprite, 445u);
    EXPECT_LE(times.second_sprite, 446u);
    EXPECT_EQ(std::ftell(fp), kMainSoundtrackOffset - 1);
    EXPECT_EQ(box_->dsp.underruns, 0u);
}

// A damaged picture ends the prelude before anything is drawn, as a damaged
// soundtrack does.
TEST_F(Prelude, ADamagedPictureEndsWith5) {
    std::string path = box_->config.root + DEMO_DATA_PATH;
    testbox::Bytes plain = testbox::read_file(path);
    simplecrypt(plain.data(), plain.size(), kDataSeed);
    std::vector<datafile::Item> items;
    std::string why;
    ASSERT_TRUE(datafile::split(plain, items, why)) << why;
    for (int picture : {0, 2}) {
        testbox::Bytes damaged = plain;
        damaged[items[std::size_t(picture)].offset + 40] ^= 0x5A;  // inside the first chunks: a CRC error
        simplecrypt(damaged.data(), damaged.size(), kDataSeed);
        testbox::write_file(path, damaged);
        std::fclose(fp);
        fp = box::fopen(DEMO_DATA_PATH, "rb");
        initcrypt(kDataSeed);
        EXPECT_EXIT(thnx(), ::testing::ExitedWithCode(kExitSetUpFailed), "") << picture;
    }
}

}  // namespace
