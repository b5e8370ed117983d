// Captures made by hand, picture by picture: the pixels scaled by whole numbers, the
// lossless master exact to the colour, the shared MP4 within the codec's error, the
// constant frame rate, and a file that appears under its name only when complete.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "data/pngwrite.h"
#include "play/capture_thread.h"
#include "play/convert.h"
#include "testbox.h"
#include "testvideo.h"

namespace {

using play::Screen;

std::string dir() { return testbox::temp_dir(); }

// Pixels of `colours` random colours, at random.
Screen random_screen(unsigned seed, unsigned colours = 256) {
    std::mt19937 random(seed);
    Screen s;
    for (auto& p : s.pixels) p = std::uint8_t(random() % colours);
    for (auto& c : s.palette) c = std::uint8_t(random());
    return s;
}

// A screen of one colour, index 1.
Screen flat_screen(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    Screen s;
    std::fill(s.pixels.begin(), s.pixels.end(), 1);
    s.palette[3] = r;
    s.palette[4] = g;
    s.palette[5] = b;
    return s;
}

std::array<int, 3> colour_of(const Screen& s, unsigned x, unsigned y) {
    const std::uint8_t* c = &s.palette[3 * s.pixels[y * Screen::kWidth + x]];
    return {c[0], c[1], c[2]};
}

struct Planes {
    unsigned scale;
    std::vector<std::uint8_t> y, u, v;
    explicit Planes(unsigned n) : scale(n), y(std::size_t(640 * n) * 480 * n), u(y.size() / 4), v(y.size() / 4) {}
    Planes(const Screen& screen, unsigned n) : Planes(n) { draw(screen, play::changes(nullptr, screen)); }
    void draw(const Screen& screen, const play::BoxChanges& changes) {
        play::to_yuv420(screen, scale, {y.data(), 640 * scale}, {u.data(), 320 * scale}, {v.data(), 320 * scale}, changes);
    }
    int luma(unsigned x, unsigned yy) const { return y[std::size_t(yy) * 640 * scale + x]; }
    std::array<int, 2> chroma(unsigned x, unsigned yy) const {
        std::size_t at = std::size_t(yy) * 320 * scale + x;
        return {u[at], v[at]};
    }
};

TEST(CaptureConvert, EachBoxPixelBecomesABlockAndEvenScalesKeepItsChroma) {
    Screen screen = random_screen(1);
    // At scale 2 every chroma sample is one box pixel's own.
    Planes one(screen, 1), two(screen, 2);
    for (unsigned scale = 1; scale <= play::kMaxScale; scale++) {
        Planes p(screen, scale);
        for (unsigned y = 0; y < 480 * scale; y++)
            for (unsigned x = 0; x < 640 * scale; x++)
                ASSERT_EQ(p.luma(x, y), one.luma(x / scale, y / scale)) << scale << " " << x << "," << y;
        for (unsigned cy = 0; cy < 240 * scale; cy++)
            for (unsigned cx = 0; cx < 320 * scale; cx++) {
                // The box pixels under the chroma sample's 2 x 2 pixels.
                unsigned x0 = 2 * cx / scale, x1 = (2 * cx + 1) / scale, y0 = 2 * cy / scale, y1 = (2 * cy + 1) / scale;
                std::array<int, 2> want;
                for (int k = 0; k < 2; k++)
                    want[k] = (two.chroma(x0, y0)[k] + two.chroma(x1, y0)[k] + two.chroma(x0, y1)[k] + two.chroma(x1, y1)[k] + 2) >> 2;
                if (scale % 2 == 0) {
                    ASSERT_TRUE(x0 == x1 && y0 == y1);
                }
                ASSERT_EQ(p.chroma(cx, cy), want) << scale << " " << cx << "," << cy;
            }
    }
}

// Pictures drawn over the picture before, only where the screen changed, are the
// pictures drawn whole, at every scale; a new colour map draws everything again.
TEST(CaptureConvert, DrawingOnlyTheChangedChunksGivesTheWholePicture) {
    const Screen first = random_screen(4);
    Screen next = first;
    play::BoxChanges changed{};
    auto change = [&](std::size_t at) {
        next.pixels[at]++;
        changed[at / 640] |= std::uint64_t(1) << (at % 640 / play::kChunk);
    };
    // Lone pixels anywhere, and the ends of chunks, rows and the screen.
    std::mt19937 random(5);
    for (int k = 0; k < 300; k++) change(random() % next.pixels.size());
    for (std::size_t at : {0, 15, 16, 639, 640, 1282, 479 * 640, 479 * 640 + 639}) change(at);
    Screen recoloured = next;
    recoloured.palette[0]++;

    const play::BoxChanges changes = play::changes(&first, next);
    EXPECT_EQ(changes, changed);
    for (unsigned scale = 1; scale <= play::kMaxScale; scale++) {
        Planes p(scale);
        p.draw(first, play::changes(nullptr, first));
        ASSERT_EQ(p.y, Planes(first, scale).y) << scale;
        p.draw(next, changes);
        Planes whole(next, scale);
        EXPECT_TRUE(p.y == whole.y && p.u == whole.u && p.v == whole.v) << scale;
        p.draw(recoloured, play::changes(&next, recoloured));
        Planes whole_recoloured(recoloured, scale);
        EXPECT_TRUE(p.y == whole_recoloured.y && p.u == whole_recoloured.u && p.v == whole_recoloured.v) << scale;

        // The master's colours the same way.
        std::vector<std::uint32_t> bgr0(std::size_t(640 * scale) * 480 * scale), whole_bgr0(bgr0.size());
        auto* bytes = reinterpret_cast<std::uint8_t*>(bgr0.data());
        play::to_bgr0(first, scale, {bytes, 2560 * scale}, play::changes(nullptr, first));
        play::to_bgr0(next, scale, {bytes, 2560 * scale}, changes);
        play::to_bgr0(next, scale, {reinterpret_cast<std::uint8_t*>(whole_bgr0.data()), 2560 * scale}, play::changes(nullptr, next));
        EXPECT_TRUE(bgr0 == whole_bgr0) << scale;
    }
}

TEST(CaptureFile, TheLosslessMasterAtScale4IsEveryBoxPixelAsOneExact4x4Block) {
    // Few colours, so that the encoder has less to do; every pixel still differs from
    // some neighbour.
    std::vector<Screen> screens = {random_screen(2, 8), random_screen(3, 8)};
    std::string path = dir() + "/scaled.mkv";
    play::CaptureThread capture;
    std::string why;
    ASSERT_TRUE(capture.open({path, 4, 0}, why)) << why;
    for (unsigned k = 0; k < screens.size(); k++) capture.picture(40000 * k, std::make_shared<const Screen>(screens[k]));
    ASSERT_TRUE(capture.close(80000, why)) << why;

    unsigned k = 0, wrong = 0;
    testvideo::Video v = testvideo::read_video(path, [&](const AVFrame& f) {
        ASSERT_LT(k, screens.size());
        for (int y = 0; y < f.height; y++)
            for (int x = 0; x < f.width; x++) wrong += testvideo::rgb_at(f, x, y) != colour_of(screens[k], unsigned(x) / 4, unsigned(y) / 4);
        k++;
    });
    EXPECT_EQ(v.video_codec, AV_CODEC_ID_H264);
    EXPECT_EQ(v.audio_codec, -1);  // no sound came
    EXPECT_EQ(v.width, 2560);
    EXPECT_EQ(v.height, 1920);
    EXPECT_EQ(k, screens.size());
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(v.video_pts_us, (std::vector<std::int64_t>{0, 40000}));
}

// The show's first picture, in the shared format at scale 4: how far the colours come
// back from the box's, and how far a 4 x 4 block strays from one colour.
TEST(CaptureFile, TheSharedMp4AtScale4IsWithinTheCodecsError) {
    PalettePicture picture;
    ASSERT_TRUE(decode_png(testbox::read_file(std::string(CONTENT_DIR) + "/pic0.png"), picture));
    ASSERT_EQ(picture.width, 640);
    Screen screen;
    screen.pixels = picture.pixels;
    for (unsigned i = 0; i < picture.palette.size(); i++)
        std::copy(picture.palette[i].begin(), picture.palette[i].end(), screen.palette.begin() + 3 * i);
    std::string path = dir() + "/scaled.mp4";
    play::CaptureThread capture;
    std::string why;
    ASSERT_TRUE(capture.open({path, 4, 0}, why)) << why;
    capture.picture(0, std::make_shared<const Screen>(screen));
    ASSERT_TRUE(capture.close(1000000, why)) << why;

    double sum = 0;
    int most = 0, widest_block = 0;
    std::size_t count = 0;
    testvideo::read_video(path, [&](const AVFrame& f) {
        ASSERT_EQ(f.width, 2560);
        for (int by = 0; by < 480; by++)
            for (int bx = 0; bx < 640; bx++) {
                std::array<int, 3> want = colour_of(screen, unsigned(bx), unsigned(by)), low = {255, 255, 255}, high = {0, 0, 0};
                for (int y = 4 * by; y < 4 * by + 4; y++)
                    for (int x = 4 * bx; x < 4 * bx + 4; x++) {
                        std::array<int, 3> got = testvideo::rgb_at(f, x, y);
                        for (int c = 0; c < 3; c++) {
                            int e = std::abs(got[c] - want[c]);
                            sum += e;
                            most = std::max(most, e);
                            low[c] = std::min(low[c], got[c]);
                            high[c] = std::max(high[c], got[c]);
                        }
                        count += 3;
                    }
                for (int c = 0; c < 3; c++) widest_block = std::max(widest_block, high[c] - low[c]);
            }
    });
    ASSERT_GT(count, 0u);
    double mean = sum / double(count);
    std::printf("MP4 at scale 4 (BT.601 4:2:0, CRF 20): mean error %.2f, largest %d, widest spread in a 4x4 block %d (of 255)\n",
                mean, most, widest_block);
    RecordProperty("mean_error", std::to_string(mean));
    // The quantizer's error, not a misplaced or wrongly coloured block.
    EXPECT_LT(mean, 3.0);
}

TEST(CaptureFile, AtAConstantRateEachFrameShowsThePictureOnScreenAtItsTime) {
    std::vector<std::pair<std::uint64_t, Screen>> shown = {{0, flat_screen(10, 20, 30)},
                                                           {7000, flat_screen(40, 50, 60)},
                                                           {30000, flat_screen(70, 80, 90)},  // never on screen at a frame's time
                                                           {31000, flat_screen(100, 110, 120)},
                                                           {70000, flat_screen(130, 140, 150)}};
    std::string path = dir() + "/cfr.mkv";
    play::CaptureThread capture;
    std::string why;
    ASSERT_TRUE(capture.open({path, 1, 50}, why)) << why;
    for (const auto& [t, screen] : shown) capture.picture(t, std::make_shared<const Screen>(screen));
    ASSERT_TRUE(capture.close(100000, why)) << why;
    std::vector<int> reds;
    testvideo::Video v = testvideo::read_video(path, [&](const AVFrame& f) { reds.push_back(testvideo::rgb_at(f, 320, 240)[0]); });
    EXPECT_EQ(v.video_pts_us, (std::vector<std::int64_t>{0, 20000, 40000, 60000, 80000}));
    EXPECT_EQ(reds, (std::vector<int>{10, 40, 100, 100, 130}));
}

// Sound for times already encoded is out of reach, even when all of it lies before
// them: the sound track is the same as without it.
TEST(CaptureSound, SoundForTimesAlreadyEncodedChangesNothing) {
    auto encode = [](bool late) {
        play::SoundEncoder sound;
        std::string why;
        EXPECT_TRUE(sound.open(why)) << why;
        std::vector<float> tone(2 * 4096), loud(2 * 1000, 1.0f);
        for (std::size_t i = 0; i < tone.size(); i++) tone[i] = float(std::sin(double(i) * 0.01));
        play::Packets packets;
        sound.add(0, tone.data(), 2048);
        EXPECT_TRUE(sound.encode_until(42667, packets));  // the first two frames of 1024
        if (late) {
            sound.add(0, loud.data(), 100);
            sound.add(10000, loud.data(), 1000);  // samples 480 to 1479
        }
        sound.add(42667, tone.data() + 2 * 2048, 2048);
        EXPECT_TRUE(sound.encode_to_end(85333, packets) && sound.flush(packets));
        std::vector<testbox::Bytes> bytes;
        for (const auto& p : packets) bytes.emplace_back(p->data, p->data + p->size);
        return bytes;
    };
    const std::vector<testbox::Bytes> plain = encode(false);
    EXPECT_GE(plain.size(), 4u);
    EXPECT_EQ(encode(true), plain);
}

// A master of pictures and the given AC-3 frames, a frame with every picture, made by
// the writer itself (no thread): what it held back at most before the file started.
std::size_t master(const std::string& path, const std::vector<testbox::Bytes>& frames) {
    play::CaptureWriter writer;
    std::string why;
    EXPECT_TRUE(writer.open({path, 1, 0}, nullptr, why)) << why;
    std::size_t most = 0;
    Screen before;
    for (unsigned k = 0; k < frames.size(); k++) {
        Screen screen = flat_screen(std::uint8_t(20 * k), 100, 200);
        writer.picture(32000 * k, screen, play::changes(k > 0 ? &before : nullptr, screen));
        writer.ac3(32000 * k, frames[k].data(), frames[k].size());
        most = std::max(most, writer.held());
        before = screen;
    }
    EXPECT_TRUE(writer.close(32000 * frames.size(), {}, true, why)) << why;
    return most;
}

// Frames the decoder refuses (here every frame's bit stream id is 31) still reach the
// sound device and the master: its sound stream is made from the first frame's own
// header, saying what the decoder says of the frames undamaged, and holds every frame
// byte for byte. Nothing waits for a frame that decodes.
TEST(CaptureFile, AMasterOfFramesThatDoNotDecodeKeepsThemAsSentAndHoldsNothingBack) {
    struct Stream {
        const char* name;
        int rate, channels;
    };
    // Centre: 3/0; LFE: 2/0 with the low-frequency channel.
    const Stream streams[] = {{"tone48.ac3", 48000, 2}, {"tone44.ac3", 44100, 2}, {"tone32.ac3", 32000, 2},
                              {"centre.ac3", 48000, 3}, {"lfe.ac3", 48000, 3}};
    for (const auto& [name, rate, channels] : streams) {
        SCOPED_TRACE(name);
        std::vector<testbox::Bytes> good = testbox::ac3_frames(testbox::read_file(std::string(TEST_DATA_DIR) + "/" + name));
        ASSERT_GE(good.size(), 10u);
        good.resize(10);
        std::vector<testbox::Bytes> bad = good;
        for (testbox::Bytes& f : bad) f[5] = 0xF8;  // bsid 31, bsmod 0

        const std::string good_path = dir() + "/good.mkv", bad_path = dir() + "/bad.mkv";
        EXPECT_EQ(master(good_path, good), 0u);
        EXPECT_EQ(master(bad_path, bad), 0u);
        const testvideo::StoredSound said = testvideo::read_stored_sound(good_path);
        const testvideo::StoredSound made = testvideo::read_stored_sound(bad_path);
        ASSERT_EQ(said.codec, AV_CODEC_ID_AC3);
        EXPECT_EQ(said.rate, rate);
        EXPECT_EQ(said.channels, channels);
        ASSERT_TRUE(said.packets == good);
        ASSERT_EQ(made.codec, AV_CODEC_ID_AC3);
        EXPECT_EQ(made.rate, said.rate);
        EXPECT_EQ(made.channels, said.channels);
        ASSERT_EQ(made.packets.size(), bad.size());
        for (std::size_t i = 0; i < bad.size(); i++) ASSERT_TRUE(made.packets[i] == bad[i]) << "frame " << i;
    }
}

// With no AC-3 frame at all the master waits for one only so long: once
// kPicturesBeforeSound pictures have gone to the encoder it is started without sound,
// and what the encoder made is written, not held. A frame that comes later is left
// out and counted. At a constant rate every repeat of a picture counts.
TEST(CaptureFile, AMasterThatGetsNoSoundHoldsAtMostItsLimitOfPictures) {
    const unsigned limit = unsigned(play::CaptureWriter::kPicturesBeforeSound);
    const testbox::Bytes frame = testbox::ac3_frames(testbox::tone_ac3()).at(0);
    std::string why;
    {
        const std::string path = dir() + "/silent.mkv";
        play::CaptureWriter writer;
        ASSERT_TRUE(writer.open({path, 1, 0}, nullptr, why)) << why;
        std::size_t most = 0;
        Screen before;
        // Picture k sends picture k - 1 to the encoder (its length is known now).
        for (unsigned k = 0; k < limit + 20; k++) {
            Screen screen = flat_screen(std::uint8_t(k), std::uint8_t(k / 2), 7);
            writer.picture(20000 * k, screen, play::changes(k > 0 ? &before : nullptr, screen));
            most = std::max(most, writer.held());
            if (k >= limit) {
                ASSERT_EQ(writer.held(), 0u) << k;
            }
            before = screen;
        }
        EXPECT_GT(most, limit / 2);
        EXPECT_LT(most, limit);
        writer.ac3(20000 * (limit + 20), frame.data(), frame.size());
        EXPECT_EQ(writer.ac3_left_out(), 1u);
        ASSERT_TRUE(writer.close(20000 * (limit + 21), {}, true, why)) << why;
        testvideo::Video v = testvideo::read_video(path);
        EXPECT_EQ(v.audio_codec, -1);
        EXPECT_EQ(v.video_pts_us.size(), limit + 20);
    }
    {
        // One picture for 10 s at 50 frames a second: 500 frames.
        const std::string path = dir() + "/silent-cfr.mkv";
        play::CaptureWriter writer;
        ASSERT_TRUE(writer.open({path, 1, 50}, nullptr, why)) << why;
        const Screen first = flat_screen(1, 2, 3), second = flat_screen(4, 5, 6);
        writer.picture(0, first, play::changes(nullptr, first));
        writer.picture(10000000, second, play::changes(&first, second));
        EXPECT_EQ(writer.held(), 0u);
        ASSERT_TRUE(writer.close(10020000, {}, true, why)) << why;
        testvideo::Video v = testvideo::read_video(path);
        EXPECT_EQ(v.audio_codec, -1);
        EXPECT_EQ(v.video_pts_us.size(), 501u);
    }
}

TEST(CaptureFile, TheFileTakesItsNameOnlyWhenComplete) {
    std::string path = dir() + "/named.mp4";
    std::string part = path + "." + std::to_string(getpid()) + ".part";
    std::string why;
    {
        play::CaptureThread capture;
        ASSERT_TRUE(capture.open({path, 1, 0}, why)) << why;
        capture.picture(0, std::make_shared<const Screen>(flat_screen(1, 2, 3)));
        EXPECT_EQ(access(part.c_str(), F_OK), 0);
        EXPECT_NE(access(path.c_str(), F_OK), 0);
    }  // given up: nothing is left
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_NE(access(part.c_str(), F_OK), 0);

    play::CaptureThread capture;
    ASSERT_TRUE(capture.open({path, 1, 0}, why)) << why;
    capture.picture(0, std::make_shared<const Screen>(flat_screen(1, 2, 3)));
    ASSERT_TRUE(capture.close(40000, why)) << why;
    EXPECT_GT(testbox::read_file(path).size(), 1000u);
    EXPECT_NE(access(part.c_str(), F_OK), 0);

    play::CaptureThread nowhere;
    EXPECT_FALSE(nowhere.open({dir() + "/missing/x.mkv", 1, 0}, why));
    EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
    ASSERT_EQ(std::system(("mkdir -p " + dir() + "/folder.mkv").c_str()), 0);
    EXPECT_FALSE(nowhere.open({dir() + "/folder.mkv", 1, 0}, why));
    EXPECT_EQ(why, "is a directory");
}

}  // namespace
