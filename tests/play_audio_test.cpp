// The sound path of demo-play: the receiver behind the emulated digital output, checked
// against bursts made by ffmpeg's own IEC 61937 muxer, the AC-3 decoder, checked
// against ffmpeg's own decoding, and the decoded sound laid down for the .mp4.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/soundcard.h>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "box/box.h"
#include "box/emu/emu.h"
#include "box/emu/iec61937.h"
#include "play/ac3decoder.h"
#include "play/capture.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

std::string data_path(const std::string& name) { return std::string(TEST_DATA_DIR) + "/" + name; }

// The stream wrapped into IEC 61937 bursts by ffmpeg.
Bytes ffmpeg_bursts(const std::string& ac3_name) {
    std::string out = testbox::temp_dir() + "/" + ac3_name + ".spdif";
    std::string cmd = "ffmpeg -v error -y -i " + data_path(ac3_name) + " -c copy -f spdif " + out;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return testbox::read_file(out);
}

struct Taken {
    std::uint64_t t_us;
    Bytes frame;
};

TEST(PlayReceiver, TakesTheFramesOutOfFfmpegsBurstsInAnyPieces) {
    for (auto [name, rate] : {std::pair{"tone48.ac3", 48000u}, {"tone44.ac3", 44100u}, {"tone32.ac3", 32000u}}) {
        SCOPED_TRACE(name);
        std::vector<Bytes> expected = testbox::ac3_frames(testbox::tone_ac3(int(rate)));
        ASSERT_GT(expected.size(), 20u);
        Bytes bursts = ffmpeg_bursts(name);
        ASSERT_EQ(bursts.size() % emu::Iec61937Receiver::kBurstBytes, 0u);

        emu::Iec61937Receiver receiver;
        receiver.set_rate(rate);
        std::vector<Taken> taken;
        receiver.on_frame = [&](std::uint64_t t, const std::uint8_t* data, std::size_t len) {
            taken.push_back({t, Bytes(data, data + len)});
        };
        // Pieces of odd sizes, so that preambles and frames are split between feeds.
        std::size_t pos = 0;
        for (std::size_t piece = 777; pos < bursts.size(); piece = piece * 3 % 5000 + 1) {
            std::size_t n = std::min(piece, bursts.size() - pos);
            receiver.feed(1000000 + pos / 4 * 1000000ull / rate, bursts.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(receiver.bad_bursts, 0u);
        ASSERT_EQ(taken.size(), expected.size());
        for (std::size_t i = 0; i < taken.size(); i++) {
            EXPECT_EQ(taken[i].frame, expected[i]) << "frame " << i;
            // Each burst is 1536 sample frames long.
            EXPECT_NEAR(double(taken[i].t_us), 1e6 + double(i) * 1536e6 / rate, 2.0) << "frame " << i;
        }
    }
}

// The frames of ac3_name's bursts as the receiver behind the emulated sound device takes
// them out, with the times they play from the moment the first was written: all at once
// (the device takes 64 KiB and blocks the writer while it plays), or as the show feeds
// them (two bursts whenever the device holds 12288 bytes or less).
std::vector<Taken> played_frames(const std::string& ac3_name, unsigned rate, bool as_the_show = false) {
    class Collect : public emu::Observer {
    public:
        void ac3_frame(std::uint64_t t, const std::uint8_t* data, std::size_t len) override {
            taken.push_back({t, Bytes(data, data + len)});
        }
        std::vector<Taken> taken;
    } collect;
    emu::Box& box = testbox::fresh_box();
    box.observer = &collect;
    Bytes bursts = ffmpeg_bursts(ac3_name);
    int fd = testbox::open_dsp(int(rate));
    std::uint64_t start = box.clock.now_us();
    const std::size_t piece = as_the_show ? 2 * emu::Iec61937Receiver::kBurstBytes : bursts.size();
    for (std::size_t pos = 0; pos < bursts.size();) {
        int delay = 0;
        if (pos > 0) box::ioctl(fd, SNDCTL_DSP_GETODELAY, &delay);
        if (delay > 12288) {
            box::usleep(1000);
            continue;
        }
        const std::size_t n = std::min(piece, bursts.size() - pos);
        EXPECT_EQ(box::write(fd, bursts.data() + pos, n), long(n));
        pos += n;
    }
    box::close(fd);
    box.observer = nullptr;
    for (Taken& t : collect.taken) t.t_us -= start;
    return collect.taken;
}

TEST(PlayReceiver, FramesWrittenToTheSoundDeviceComeOutAtTheirPlayTimes) {
    std::vector<Taken> taken = played_frames("tone48.ac3", 48000);
    std::vector<Bytes> expected = testbox::ac3_frames(testbox::tone_ac3(48000));
    ASSERT_EQ(taken.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(taken[i].frame, expected[i]) << "frame " << i;
        EXPECT_NEAR(double(taken[i].t_us), double(i) * 32000.0, 2.0) << "frame " << i;
    }
}

// The .mp4's sound, made of the frames one by one at the times they play as the show
// feeds them (in whole microseconds, a few of them off where the receiver counts its
// times afresh), is the decoded stream laid down whole from the first frame on: no
// sample frame of silence between two frames, none lost, at any rate (at 44.1 and
// 32 kHz the resampler also holds some sound back from one frame to the next).
TEST(PlaySound, TheFramesAtTheirTimesAreTheStreamWithoutAGap) {
    for (auto [name, rate] : {std::pair{"tone44.ac3", 44100u}, {"tone32.ac3", 32000u}, {"tone48.ac3", 48000u}}) {
        SCOPED_TRACE(name);
        std::vector<Taken> taken = played_frames(name, rate, true);
        ASSERT_GT(taken.size(), 20u);
        play::Ac3Decoder decoder;
        play::SoundEncoder by_frame, whole;
        std::string why;
        ASSERT_TRUE(by_frame.open(why) && whole.open(why)) << why;
        std::vector<float> stream, pcm;
        for (const Taken& t : taken) {
            pcm.clear();
            ASSERT_TRUE(decoder.decode(t.frame.data(), t.frame.size(), pcm));
            by_frame.add(t.t_us, pcm.data(), pcm.size() / 2);
            stream.insert(stream.end(), pcm.begin(), pcm.end());
        }
        whole.add(taken.front().t_us, stream.data(), stream.size() / 2);
        const std::uint64_t end_us = taken.back().t_us + 1536 * 1000000ull / rate;
        play::Packets got, want;
        ASSERT_TRUE(by_frame.encode_to_end(end_us, got) && by_frame.flush(got));
        ASSERT_TRUE(whole.encode_to_end(end_us, want) && whole.flush(want));
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); i++)
            ASSERT_TRUE(std::equal(got[i]->data, got[i]->data + got[i]->size, want[i]->data, want[i]->data + want[i]->size))
                << "packet " << i;
    }
}

// ffmpeg's own decoding of a stream, as interleaved stereo floats at 48 kHz.
std::vector<float> ffmpeg_decode(const std::string& ac3_name) {
    std::string out = testbox::temp_dir() + "/" + ac3_name + ".f32";
    std::string cmd = "ffmpeg -v error -y -i " + data_path(ac3_name) + " -f f32le -ac 2 -ar 48000 " + out;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Bytes bytes = testbox::read_file(out);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<float> decode_all(const std::string& ac3_name, std::size_t& frames) {
    play::Ac3Decoder decoder;
    std::string why;
    EXPECT_TRUE(decoder.ok(why)) << why;
    std::vector<float> out;
    std::vector<Bytes> stream = testbox::ac3_frames(testbox::read_file(data_path(ac3_name)));
    frames = stream.size();
    for (const Bytes& frame : stream) EXPECT_TRUE(decoder.decode(frame.data(), frame.size(), out));
    return out;
}

TEST(PlayDecoder, A48kHzStreamDecodesTo1536SamplesAFrameAsFfmpegDoes) {
    std::size_t frames = 0;
    std::vector<float> ours = decode_all("tone48.ac3", frames);
    ASSERT_EQ(ours.size(), 2 * 1536 * frames);
    std::vector<float> theirs = ffmpeg_decode("tone48.ac3");
    ASSERT_EQ(theirs.size(), ours.size());
    float worst = 0;
    for (std::size_t i = 0; i < ours.size(); i++) worst = std::max(worst, std::fabs(ours[i] - theirs[i]));
    EXPECT_LE(worst, 1e-6f);
}

TEST(PlayDecoder, OtherRatesComeOutAt48kHzAtTheirPitch) {
    std::size_t frames = 0;
    std::vector<float> ours = decode_all("tone44.ac3", frames);
    double expected = double(frames) * 1536 * 48000 / 44100;
    // The resampler keeps back a few samples of its filter until a flush that a live
    // stream never has.
    EXPECT_LE(double(ours.size() / 2), expected);
    EXPECT_GE(double(ours.size() / 2), expected - 64);
    // The 440 Hz tone: 880 sign changes a second in the left channel.
    std::size_t from = 48000 / 4, to = from + 48000 / 2;
    ASSERT_LT(2 * to, ours.size());
    int changes = 0;
    for (std::size_t i = from + 1; i < to; i++) changes += (ours[2 * i] >= 0) != (ours[2 * i - 2] >= 0);
    EXPECT_NEAR(changes, 440, 3);
}

// A stream whose speakers change to a layout of as many channels is mixed down by the
// new layout: after its first frame (the decoder's overlap still holds the old
// stream's sound), the low-frequency tone comes out as a decoder that began there
// gives it (left out of stereo, all but silent), not as if it were the centre channel
// (0.09 apart then).
TEST(PlayDecoder, ALayoutOfAsManyChannelsIsMixedDownAsItself) {
    std::size_t frames = 0;
    std::vector<float> fresh = decode_all("lfe.ac3", frames);
    std::vector<Bytes> stream = testbox::ac3_frames(testbox::read_file(data_path("centre.ac3")));
    const std::size_t before = stream.size();
    for (Bytes& frame : testbox::ac3_frames(testbox::read_file(data_path("lfe.ac3")))) stream.push_back(std::move(frame));
    play::Ac3Decoder decoder;
    std::vector<float> out;
    for (const Bytes& frame : stream) ASSERT_TRUE(decoder.decode(frame.data(), frame.size(), out));
    const std::size_t frame_floats = 2 * 1536;
    ASSERT_EQ(out.size(), (before + frames) * frame_floats);
    ASSERT_GT(frames, 2u);
    float worst = 0;
    for (std::size_t i = frame_floats; i < fresh.size(); i++) worst = std::max(worst, std::fabs(out[before * frame_floats + i] - fresh[i]));
    EXPECT_LE(worst, 1e-4f);
}

TEST(PlayDecoder, AFrameThatDoesNotDecodeAddsNothing) {
    play::Ac3Decoder decoder;
    std::vector<float> out = {1.0f, 2.0f};
    Bytes junk(768, 0x5A);
    junk[0] = 0x0B;
    junk[1] = 0x77;
    EXPECT_FALSE(decoder.decode(junk.data(), junk.size(), out));
    EXPECT_EQ(out, (std::vector<float>{1.0f, 2.0f}));
    Bytes good = testbox::ac3_frames(testbox::tone_ac3(48000)).at(3);
    EXPECT_TRUE(decoder.decode(good.data(), good.size(), out));
    EXPECT_EQ(out.size(), 2 + 2 * 1536u);
}

}  // namespace
