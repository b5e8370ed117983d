// Runs of demo-play's session around a small scripted show: the trace, the bytes sent
// to the sound device, screenshots, the capture (pictures at their times, sound in
// step, same bytes every run), the contact sheet, the live window under Xvfb and the
// ways a run ends.
#include <SDL.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fb.h>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "box/box.h"
#include "box/emu/emu.h"
#include "data/pngwrite.h"
#include "play/capture.h"
#include "play/live.h"
#include "play/options.h"
#include "play/session.h"
#include "play/sheet.h"
#include "show/ac3audio.h"
#include "show/exit_status.h"
#include "testbox.h"
#include "testvideo.h"

// SDL opens the D-Bus session bus, and libdbus keeps a buffer of its own for the
// life of the process: not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace {

using testbox::Bytes;

// --- the scripted show ---------------------------------------------------------------

// Picture k is one flat colour, grey level kGrey(k) through a grey ramp colour map;
// neighbours always differ.
std::uint8_t grey(unsigned k) { return std::uint8_t(k * 16 + 8); }

// What the scripted show does besides playing and drawing.
struct Script {
    unsigned exit_at_picture = ~0u;  // calls exit(exit_status) here
    int exit_status = 0;
    unsigned escape_at_picture = ~0u;  // pushes an Escape key press here (live runs)
    unsigned terminate_at_picture = ~0u;  // sends itself SIGTERM here
} script;

void scripted_stop(int signal) {
    ac3_stop(1);
    std::exit(100 + signal);
}

bool before(const timeval& a, const timeval& b) { return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec); }

// The command line the scripted show was given.
std::vector<std::string> show_args;

// Plays the box's /tone.ac3 and shows a new page every 20 ms until the sound has been
// sent.
int scripted_show(int argc, char** argv) {
    show_args.assign(argv, argv + argc);
    box::on_stop(scripted_stop);
    int fb = box::open("/dev/fb0", O_RDWR);
    fb_var_screeninfo var{};
    box::ioctl(fb, FBIOGET_VSCREENINFO, &var);
    var.yres_virtual = 2880;
    box::ioctl(fb, FBIOPUT_VSCREENINFO, &var);
    auto* scrn = static_cast<std::uint8_t*>(box::mmap(640 * 2880, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0));
    std::uint16_t ramp[256];
    for (int i = 0; i < 256; i++) ramp[i] = std::uint16_t(i << 8 | i);
    fb_cmap cmap{0, 256, ramp, ramp, ramp, nullptr};
    box::ioctl(fb, FBIOPUTCMAP, &cmap);
    std::FILE* f = box::fopen("/tone.ac3", "rb");
    if (f == nullptr || ac3_init(f) != 0) std::exit(kExitSetUpFailed);
    std::fclose(f);
    box::usleep(5000);  // the black screen stays a moment: every page is a picture of its own
    for (unsigned k = 0; ac3_process() == 0; k++) {
        if (k == script.exit_at_picture) std::exit(script.exit_status);
        if (k == script.terminate_at_picture) std::raise(SIGTERM);
        if (k == script.escape_at_picture) {
            SDL_Event escape{};
            escape.type = SDL_KEYDOWN;
            escape.key.keysym.sym = SDLK_ESCAPE;
            SDL_PushEvent(&escape);
        }
        timeval deadline;
        box::gettimeofday(&deadline);
        deadline.tv_usec += 20000;
        if (deadline.tv_usec >= 1000000) {
            deadline.tv_usec -= 1000000;
            deadline.tv_sec++;
        }
        std::memset(scrn + (k % 4) * 307200, grey(k), 307200);
        var.yoffset = (k % 4) * 480;
        box::ioctl(fb, FBIOPAN_DISPLAY, &var);
        timeval now;
        do {
            ac3_process();
            box::gettimeofday(&now);
        } while (before(now, deadline));
    }
    ac3_stop(0);
    box::close(fb);
    return 0;
}

std::string dir() { return testbox::temp_dir(); }

// Options for a run on a box whose tree holds the test tone.
// The scripted show opens the sound device once: with a start section that is the
// main soundtrack, without one it counts as the prelude's.
play::Options options_for(const std::string& section = "1") {
    play::Options o;
    o.box_root = dir() + "/box";
    testbox::write_file(o.box_root + "/tone.ac3", testbox::tone_ac3(48000));
    if (!section.empty()) o.section = section;
    return o;
}

// --- reading what a run wrote --------------------------------------------------------

struct TraceLine {
    std::uint64_t t_us = 0;
    std::string json;
    long number(const std::string& key) const {
        std::size_t at = json.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size() + 3);
    }
    bool is(const std::string& text) const { return json.find(text) != std::string::npos; }
};

std::vector<TraceLine> read_trace(const std::string& path) {
    std::vector<TraceLine> lines;
    const std::string text = testbox::text_of(path);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        TraceLine line;
        line.json = text.substr(pos, end - pos);
        line.t_us = std::uint64_t(line.number("t_us"));
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

struct Probe : testvideo::Video {
    std::vector<int> centre_luma;  // luma of the centre pixel of every decoded picture
};

// Reads an MP4 back, decoding both streams.
Probe probe(const std::string& path) {
    Probe p;
    static_cast<testvideo::Video&>(p) = testvideo::read_video(path, [&](const AVFrame& f) {
        p.centre_luma.push_back(f.data[0][240 * f.linesize[0] + 320]);
    });
    EXPECT_EQ(p.video_codec, AV_CODEC_ID_H264);
    EXPECT_EQ(p.audio_codec, AV_CODEC_ID_AAC);
    return p;
}

// --- the records of a virtual-time run ----------------------------------------------

TEST(PlayRun, TheTraceHasEveryRequestAtItsTimeAndEveryBurstWithItsFrame) {
    play::Options o = options_for("7");
    o.fast = true;
    o.trace = dir() + "/trace.jsonl";
    ASSERT_EQ(play::run(o, scripted_show, "demo-play"), 0);
    EXPECT_EQ(show_args, (std::vector<std::string>{"demo-play", "7"}));

    std::vector<TraceLine> lines = read_trace(o.trace);
    ASSERT_GT(lines.size(), 100u);
    std::uint64_t last_t = 0;
    long next_frame = 0;
    unsigned pans = 0, cmaps = 0;
    std::vector<std::string> after_last_burst;
    for (const TraceLine& line : lines) {
        ASSERT_EQ(line.json.rfind("{\"t_us\":", 0), 0u) << line.json;
        ASSERT_EQ(line.json.back(), '}') << line.json;
        EXPECT_GE(line.t_us, last_t) << line.json;
        last_t = line.t_us;
        if (line.is("\"req\":\"write\",\"dev\":\"/dev/dsp\"") && line.number("bytes") == 6144) {
            EXPECT_EQ(line.number("fcount"), next_frame++) << line.json;
            after_last_burst.clear();
        } else if (line.is("/dev/dsp") || line.is("SNDCTL_DSP")) {
            after_last_burst.push_back(line.json);
        }
        pans += line.is("FBIOPAN_DISPLAY");
        cmaps += line.is("FBIOPUTCMAP");
    }
    std::size_t frames = testbox::ac3_frame_starts(testbox::tone_ac3(48000)).size();
    EXPECT_EQ(std::size_t(next_frame), frames);
    // After the last burst, the fragment the driver holds back is filled up (63 bursts
    // leave 2048 bytes of a 4096-byte fragment) and the driver is told to play it.
    ASSERT_EQ(frames % 2, 1u);
    ASSERT_GE(after_last_burst.size(), 2u);
    EXPECT_NE(after_last_burst[0].find("\"bytes\":2048"), std::string::npos) << after_last_burst[0];
    EXPECT_NE(after_last_burst[1].find("\"SNDCTL_DSP_POST\",\"held\":0"), std::string::npos) << after_last_burst[1];
    EXPECT_EQ(cmaps, 1u);
    // One page every 20 ms while the sound was sent (the last bursts are sent about
    // three frames before they have played).
    EXPECT_NEAR(double(pans), double(frames - 3) * 32 / 20, 3.0);
    EXPECT_EQ(lines.back().json, "{\"t_us\":" + std::to_string(lines.back().t_us) + ",\"req\":\"exit\",\"status\":0}");
}

TEST(PlayRun, AShotThatIsNeverReachedIsSaidAndMissing) {
    play::Options o = options_for("1");
    o.fast = true;
    o.shots = {{true, 3, dir() + "/prelude.png"}, {false, 100000, dir() + "/late.png"}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(play::run(o, scripted_show), 0);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("no shot prelude:3"), std::string::npos) << said;
    EXPECT_NE(said.find("no shot 100000"), std::string::npos) << said;
    EXPECT_TRUE(testbox::read_file(dir() + "/prelude.png").empty());
    EXPECT_TRUE(testbox::read_file(dir() + "/late.png").empty());
}

TEST(PlayRun, AnOutputThatCannotBeWrittenEndsTheRunWithItsOwnStatus) {
    play::Options o = options_for();
    o.fast = true;
    o.trace = "/nonexistent-dir/trace.jsonl";
    EXPECT_EQ(play::run(o, scripted_show), play::kExitCannotWrite);
    o.trace.clear();
    o.shots = {{false, 5, "/nonexistent-dir/shot.png"}};
    EXPECT_EQ(play::run(o, scripted_show), play::kExitCannotWrite);
    o.shots.clear();
    o.capture = "/nonexistent-dir/show.mp4";
    EXPECT_EQ(play::run(o, scripted_show), play::kExitCannotWrite);
}

TEST(PlayRun, WhenTheShowExitsItselfTheRecordsAreFinishedWithItsStatus) {
    play::Options o = options_for();
    o.fast = true;
    o.trace = dir() + "/trace.jsonl";
    o.capture = dir() + "/exit.mp4";
    EXPECT_EXIT(
        {
            script.exit_at_picture = 30;
            script.exit_status = kExitNoMemory;
            play::run(o, scripted_show);
        },
        testing::ExitedWithCode(kExitNoMemory), "");
    std::vector<TraceLine> lines = read_trace(o.trace);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().is("\"req\":\"exit\",\"status\":" + std::to_string(kExitNoMemory) + "}")) << lines.back().json;
    Probe p = probe(o.capture);
    EXPECT_EQ(p.video_pts_us.size(), 31u);  // the black start and 30 pages
}

// --- capture --------------------------------------------------------------------------

TEST(PlayCapture, EveryPageShownIsOnePictureAtItsTimeAndTheSoundIsInStep) {
    play::Options o = options_for();
    o.capture = dir() + "/show.mp4";
    o.trace = dir() + "/trace.jsonl";
    ASSERT_EQ(play::run(o, scripted_show), 0);

    std::vector<std::int64_t> pans = {0};  // the black screen the run starts with
    std::int64_t first_burst = -1;
    for (const TraceLine& line : read_trace(o.trace)) {
        if (line.is("FBIOPAN_DISPLAY")) pans.push_back(std::int64_t(line.t_us));
        if (first_burst < 0 && line.is("\"dev\":\"/dev/dsp\",\"bytes\"")) first_burst = std::int64_t(line.t_us);
    }
    Probe p = probe(o.capture);
    EXPECT_EQ(p.video_pts_us, pans);
    ASSERT_EQ(p.centre_luma.size(), pans.size());
    EXPECT_EQ(p.centre_luma[0], 16);  // black
    for (std::size_t k = 1; k < pans.size(); k++)
        EXPECT_NEAR(p.centre_luma[k], 16 + 219 * grey(unsigned(k - 1)) / 255, 2) << "picture " << k;

    // Both streams start at 0 and end within one AC-3 frame of each other.
    EXPECT_EQ(p.video_start, 0.0);
    EXPECT_EQ(p.audio_start, 0.0);
    EXPECT_NEAR(p.audio_end, p.video_end, 1536.0 / 48000);
    // The tone is heard from the moment its first burst was written (the device was
    // empty then), not before.
    ASSERT_GE(first_burst, 0);
    auto loud = std::find_if(p.left.begin(), p.left.end(), [](float s) { return std::fabs(s) > 0.05f; });
    ASSERT_NE(loud, p.left.end());
    double onset_us = double(loud - p.left.begin()) * 1e6 / 48000;
    EXPECT_NEAR(onset_us, double(first_burst), 6000.0);
    // and lasts as long as the test tone: 2 seconds, no frame lost or doubled.
    auto last_loud = std::find_if(p.left.rbegin(), p.left.rend(), [](float s) { return std::fabs(s) > 0.05f; });
    double tone_us = double(p.left.rend() - last_loud) * 1e6 / 48000 - onset_us;
    EXPECT_NEAR(tone_us, 2e6, 6000.0);
}

// Stopped by a signal, the show resets the sound device: the sound it held is never
// heard, and the capture ends with the show. The master keeps the frames that had
// started to play, whole.
TEST(PlayCapture, WhatTheSoundDeviceHeldAtAResetIsNeverHeard) {
    for (std::string kind : {".mp4", ".mkv"}) {
        play::Options o = options_for();
        o.capture = dir() + "/reset" + kind;
        o.trace = dir() + "/trace.jsonl";
        EXPECT_EXIT(
            {
                script.terminate_at_picture = 40;
                play::run(o, scripted_show);
            },
            testing::ExitedWithCode(100 + SIGTERM), "");
        std::int64_t reset_us = -1, last_us = 0;
        for (const TraceLine& line : read_trace(o.trace)) {
            if (line.is("SNDCTL_DSP_RESET")) reset_us = std::int64_t(line.t_us);
            last_us = std::int64_t(line.t_us);
        }
        ASSERT_GT(reset_us, 500000) << kind;
        const double frame_s = 1536.0 / 48000;
        if (kind == ".mkv") {
            testvideo::Video v = testvideo::read_video(o.capture);
            ASSERT_EQ(v.audio_codec, AV_CODEC_ID_AC3);
            EXPECT_GT(v.audio_end, double(reset_us) / 1e6);
            EXPECT_LE(v.audio_end, double(reset_us) / 1e6 + frame_s);
            EXPECT_NEAR(v.video_end, double(last_us) / 1e6, frame_s);
            continue;
        }
        Probe p = probe(o.capture);
        // The tone was sounding when the device was reset, and is not after it (an AAC
        // frame, 1024 samples, may smear the cut).
        auto last_loud = std::find_if(p.left.rbegin(), p.left.rend(), [](float s) { return std::fabs(s) > 0.05f; });
        ASSERT_NE(last_loud, p.left.rend());
        double loud_until_us = double(p.left.rend() - last_loud) * 1e6 / 48000;
        EXPECT_NEAR(loud_until_us, double(reset_us), 1024 * 1e6 / 48000);
        EXPECT_NEAR(p.video_end, double(last_us) / 1e6, 0.005);
        EXPECT_NEAR(p.audio_end, p.video_end, 1024.0 / 48000);
    }
}

// A capture is made under a path and a name as long as the system takes (its file is
// made beside it first), and the summary names it whole and goes on to the end.
TEST(PlayCapture, ALongPathAndNameAreCapturedAndNamedWhole) {
    std::string folder = dir();
    for (char c : {'a', 'b', 'c'}) folder += "/" + std::string(200, c);
    ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    play::Options o = options_for();
    o.capture = folder + "/" + std::string(NAME_MAX - 4, 'n') + ".mkv";
    testing::internal::CaptureStdout();
    ASSERT_EQ(play::run(o, scripted_show), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find(o.capture + ": "), std::string::npos) << said;
    EXPECT_NE(said.find("x real time)\n"), std::string::npos) << said;
    EXPECT_GT(testbox::read_file(o.capture).size(), 10000u);
}

TEST(PlayCapture, TwoCapturesOfTheSameRunAreTheSameBytes) {
    for (std::string kind : {".mp4", ".mkv"}) {
        play::Options o = options_for();
        o.scale = 2;
        o.capture = dir() + "/one" + kind;
        ASSERT_EQ(play::run(o, scripted_show), 0);
        o.capture = dir() + "/two" + kind;
        ASSERT_EQ(play::run(o, scripted_show), 0);
        Bytes one = testbox::read_file(dir() + "/one" + kind), two = testbox::read_file(dir() + "/two" + kind);
        ASSERT_GT(one.size(), 10000u) << kind;
        EXPECT_TRUE(one == two) << kind;
    }
}

TEST(PlayCapture, TheMasterHoldsTheScreenshotsExactlyAndTheFramesOfTheBursts) {
    play::Options o = options_for();
    o.capture = dir() + "/master.mkv";
    o.trace = dir() + "/trace.jsonl";
    o.dsp_out = dir() + "/dsp.bin";
    const std::vector<std::uint32_t> frames = {0, 5, 20, 47};
    for (std::uint32_t f : frames) o.shots.push_back({false, f, dir() + "/shot" + std::to_string(f) + ".png"});
    ASSERT_EQ(play::run(o, scripted_show), 0);

    // The picture on screen when the burst of frame f - 1 was written, the time it
    // was panned to (picture 0 is the black screen at the start). Frame 0 is reached
    // as the sound device opens, before anything is drawn.
    std::map<std::uint32_t, std::pair<std::size_t, std::int64_t>> moment = {{0, {0, 0}}};
    std::vector<std::int64_t> pans = {0};
    for (const TraceLine& line : read_trace(o.trace)) {
        if (line.is("FBIOPAN_DISPLAY")) pans.push_back(std::int64_t(line.t_us));
        for (std::uint32_t f : frames)
            if (!moment.count(f) && line.number("fcount") == long(f) - 1) moment[f] = {pans.size() - 1, pans.back()};
    }
    std::vector<std::vector<std::array<int, 3>>> pictures;
    testvideo::Video v = testvideo::read_video(o.capture, [&](const AVFrame& f) {
        std::vector<std::array<int, 3>>& rgb = pictures.emplace_back();
        for (int y = 0; y < f.height; y++)
            for (int x = 0; x < f.width; x++) rgb.push_back(testvideo::rgb_at(f, x, y));
    });
    EXPECT_EQ(v.video_codec, AV_CODEC_ID_H264);
    ASSERT_EQ(v.audio_codec, AV_CODEC_ID_AC3);
    ASSERT_EQ(pictures.size(), pans.size());
    for (std::uint32_t f : frames) {
        PalettePicture shot;
        ASSERT_TRUE(decode_png(testbox::read_file(dir() + "/shot" + std::to_string(f) + ".png"), shot)) << f;
        auto [k, t_us] = moment.at(f);
        ASSERT_EQ(k > 0, f > 0) << f;
        ASSERT_EQ(shot.pixels.size(), pictures[k].size()) << f;
        unsigned wrong = 0;
        for (std::size_t i = 0; i < shot.pixels.size(); i++) {
            const auto& c = shot.palette[shot.pixels[i]];
            wrong += pictures[k][i] != std::array<int, 3>{c[0], c[1], c[2]};
        }
        EXPECT_EQ(wrong, 0u) << "frame " << f;
        // Matroska keeps times to the millisecond.
        EXPECT_NEAR(double(v.video_pts_us[k]), double(t_us), 500.0) << "frame " << f;
    }

    // The sound device got the bursts, then zeros up to the end of the driver's
    // 4096-byte fragment. ffmpeg's reader takes the payload length from the preamble,
    // which names the largest AC-3 frame (2788 bytes) for every burst: each payload
    // starts with the frame sent, and the master holds that frame byte for byte.
    const std::vector<Bytes> sent = testbox::ac3_frames(testbox::tone_ac3(48000));
    Bytes written = testbox::read_file(o.dsp_out);
    ASSERT_EQ(written.size(), (sent.size() * 6144 + 4095) / 4096 * 4096);
    EXPECT_TRUE(std::all_of(written.begin() + long(sent.size() * 6144), written.end(), [](std::uint8_t b) { return b == 0; }));
    std::string back = dir() + "/back.ac3";
    std::string cmd = "ffmpeg -v error -y -f spdif -i " + o.dsp_out + " -c copy -f ac3 " + back;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Bytes payloads = testbox::read_file(back);
    ASSERT_EQ(payloads.size(), sent.size() * 2788);
    ASSERT_EQ(v.audio_packets.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); i++) {
        ASSERT_TRUE(std::equal(sent[i].begin(), sent[i].end(), payloads.begin() + long(i * 2788))) << "frame " << i;
        ASSERT_TRUE(v.audio_packets[i] == sent[i]) << "frame " << i;
    }
}

// A soundtrack whose frames libavcodec refuses (every frame's bit stream id is 31: the
// show's reader checks only the sync word, the rate and the length, and sends them)
// plays through the sound device all the same. The master starts its file with the
// first frame, its sound stream made from that frame's header, holds no pictures back
// waiting for a frame that decodes, and keeps every frame as it was sent. The .mp4 has
// silence for them, as long as the pictures, and says how many did not decode.
TEST(PlayCapture, ASoundtrackThatDoesNotDecodeIsInTheMasterAsSentAndSilentInTheMp4) {
    Bytes tone = testbox::tone_ac3(48000);
    for (std::size_t start : testbox::ac3_frame_starts(tone)) tone[start + 5] = 0xF8;  // bsid 31, bsmod 0
    const std::vector<Bytes> frames = testbox::ac3_frames(tone);
    for (std::string kind : {".mkv", ".mp4"}) {
        SCOPED_TRACE(kind);
        play::Options o = options_for();
        testbox::write_file(o.box_root + "/tone.ac3", tone);
        o.capture = dir() + "/undecodable" + kind;
        testing::internal::CaptureStdout();
        ASSERT_EQ(play::run(o, scripted_show), 0);
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_NE(said.find("demo-play: " + std::to_string(frames.size()) + " frames sent"), std::string::npos) << said;
        EXPECT_EQ(said.find("without sound"), std::string::npos) << said;
        if (kind == ".mkv") {
            const testvideo::StoredSound sound = testvideo::read_stored_sound(o.capture);
            ASSERT_EQ(sound.codec, AV_CODEC_ID_AC3);
            EXPECT_EQ(sound.rate, 48000);
            EXPECT_EQ(sound.channels, 2);
            ASSERT_EQ(sound.packets.size(), frames.size());
            for (std::size_t i = 0; i < frames.size(); i++) ASSERT_TRUE(sound.packets[i] == frames[i]) << "frame " << i;
            continue;
        }
        EXPECT_NE(said.find(", " + std::to_string(frames.size()) + " frames that do not decode"), std::string::npos) << said;
        Probe p = probe(o.capture);
        ASSERT_FALSE(p.left.empty());
        float loudest = 0;
        for (float sample : p.left) loudest = std::max(loudest, std::fabs(sample));
        EXPECT_LT(loudest, 1e-4f);
        EXPECT_EQ(p.audio_start, 0.0);
        EXPECT_NEAR(p.audio_end, p.video_end, 1024.0 / 48000);
    }
}

// The display changes that make pictures, on a framebuffer changed by hand: each case a
// series of changes, each looked at when its time comes, and the pictures made (time,
// first pixel). Every page starts all colour index 0.
TEST(PlayPictures, EachStateThatStaysAMillisecondIsAPictureOnce) {
    enum What { Paint, Colour, Show, Look };
    struct Step {
        What what;
        std::uint64_t a;     // the page, the colour index or the time
        std::uint8_t b = 0;  // the colour index painted, or the colour's grey level
    };
    using Pictures = std::vector<std::pair<std::uint64_t, std::uint8_t>>;
    const struct {
        const char* name;
        std::vector<Step> steps;
        Pictures pictures;
    } cases[] = {
        // A look with nothing changed makes no picture; page 1 stayed exactly 1 ms.
        {"each state once", {{Paint, 1, 1}, {Paint, 2, 2}, {Look, 0}, {Look, 10}, {Show, 1}, {Look, 20000}, {Show, 2}, {Look, 21000}},
         {{0, 0}, {20000, 1}, {21000, 2}}},
        // A new map over the old page, and the pan 50 µs later.
        {"colour map put just before its pan", {{Paint, 1, 1}, {Look, 0}, {Colour, 1, 0xFF}, {Look, 20000}, {Show, 1}, {Look, 20050}},
         {{0, 0}, {20050, 1}}},
        // The black start was on screen for 0.3 ms only: the first picture starts the video.
        {"first picture starts the video", {{Paint, 1, 1}, {Look, 0}, {Show, 1}, {Look, 300}, {Show, 0}, {Paint, 0, 2}, {Look, 900}},
         {{0, 2}}},
        // Back to page 0 after 0.5 ms: page 0 just goes on.
        {"state undone within the moment", {{Paint, 1, 1}, {Look, 0}, {Show, 1}, {Look, 5000}, {Show, 0}, {Look, 5500}, {Show, 1}, {Look, 40000}},
         {{0, 0}, {40000, 1}}},
        {"drawing into the page on display", {{Look, 0}, {Paint, 0, 9}, {Look, 5000}}, {{0, 0}, {5000, 9}}},
    };
    for (const auto& c : cases) {
        emu::Box& box = testbox::fresh_box();
        box.fb.var.yres_virtual = 2880;
        Pictures got;
        play::PictureTimeline timeline([&](std::uint64_t t, std::shared_ptr<const play::Screen> s) { got.push_back({t, s->pixels[0]}); });
        for (const Step& step : c.steps) {
            switch (step.what) {
            case Paint: std::fill_n(box.fb.memory.begin() + long(step.a) * 307200, 307200, step.b); break;
            case Colour: box.fb.red[step.a] = box.fb.green[step.a] = box.fb.blue[step.a] = std::uint16_t(step.b << 8 | step.b); break;
            case Show: box.fb.var.yoffset = unsigned(step.a) * 480; break;
            case Look: timeline.look(step.a, box.fb); break;
            }
        }
        timeline.finish();
        EXPECT_EQ(got, c.pictures) << c.name;
    }
}

// --- contact sheet --------------------------------------------------------------------

TEST(PlaySheet, AThumbnailEveryFiveSecondsWithItsTimeAndSection) {
    play::ContactSheet sheet;
    play::Screen screen;
    // A fine chequer of black and white: its thumbnail is mid grey.
    for (unsigned i = 0; i < screen.pixels.size(); i++) screen.pixels[i] = std::uint8_t((i + i / 640) % 2);
    screen.palette[3] = screen.palette[4] = screen.palette[5] = 255;
    EXPECT_TRUE(sheet.due(0));
    sheet.add(0, "start", screen);
    EXPECT_FALSE(sheet.due(4999999));
    EXPECT_TRUE(sheet.due(5000000));
    sheet.add(5200000, "fire", screen);
    EXPECT_FALSE(sheet.due(9999999));
    EXPECT_TRUE(sheet.due(10000000));
    EXPECT_EQ(play::ContactSheet::label(65300000, "3D"), "1:05 3D");
    EXPECT_EQ(play::ContactSheet::label(600000000, "end titles"), "10:00 end titles");

    unsigned w = 0, h = 0;
    std::vector<std::uint8_t> rgb = sheet.render(w, h);
    using S = play::ContactSheet;
    EXPECT_EQ(w, S::kGap + S::kColumns * (S::kThumbWidth + S::kGap));
    EXPECT_EQ(h, S::kGap + S::kThumbHeight + S::kLabelHeight + S::kGap);
    auto at = [&](unsigned x, unsigned y) { return rgb[(std::size_t(y) * w + x) * 3]; };
    EXPECT_EQ(at(S::kGap + 10, S::kGap + 10), 128);                                 // first thumbnail
    EXPECT_EQ(at(S::kGap + S::kThumbWidth + S::kGap + 10, S::kGap + 10), 128);      // second
    EXPECT_EQ(at(S::kGap + 2 * (S::kThumbWidth + S::kGap) + 10, S::kGap + 10), 0x20);  // none
    // The label's letters are drawn under each thumbnail.
    unsigned ink = 0;
    for (unsigned y = S::kGap + S::kThumbHeight; y < S::kGap + S::kThumbHeight + S::kLabelHeight; y++)
        for (unsigned x = S::kGap; x < S::kGap + 7 * 8; x++) ink += at(x, y) != 0x20;
    EXPECT_GT(ink, 40u);

    std::string path = dir() + "/sheet.png";
    std::string why;
    ASSERT_TRUE(sheet.write(path, why)) << why;
    Bytes png = testbox::read_file(path);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);
    auto be32 = [&](std::size_t i) { return unsigned(png[i]) << 24 | unsigned(png[i + 1]) << 16 | unsigned(png[i + 2]) << 8 | png[i + 3]; };
    EXPECT_EQ(be32(16), w);
    EXPECT_EQ(be32(20), h);
    EXPECT_FALSE(sheet.write("/nonexistent-dir/sheet.png", why));
}

// A sheet the disk has no room for leaves nothing under its name, as a capture or a
// screenshot does.
TEST(PlaySheet, ASheetCutShortLeavesNoFileUnderItsName) {
    play::ContactSheet sheet;
    play::Screen screen;
    for (unsigned i = 0; i < screen.pixels.size(); i++) screen.pixels[i] = std::uint8_t(i * 7 + i / 640);
    for (unsigned i = 0; i < screen.palette.size(); i++) screen.palette[i] = std::uint8_t(i * 13);
    for (std::uint64_t t = 0; t < 40000000; t += play::ContactSheet::kEveryUs) sheet.add(t, "fire", screen);
    const std::string path = dir() + "/cut-sheet.png";
    std::string why;
    ASSERT_TRUE(sheet.write(path, why)) << why;
    const std::size_t whole = testbox::read_file(path).size();
    ASSERT_GT(whole, 4096u);
    std::remove(path.c_str());

    // Files of this process may not grow past 4 kB while the sheet is written.
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    rlimit small = was;
    small.rlim_cur = 4096;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool wrote = sheet.write(path, why);
    setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(why, "cannot write " + path);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_NE(access((path + "." + std::to_string(getpid()) + ".part").c_str(), F_OK), 0);
}

// --- the live window, under a virtual X server ----------------------------------------

class PlayLive : public testing::Test {
protected:
    void SetUp() override {
        xvfb_ = testbox::start_xvfb();
        if (xvfb_ < 0) GTEST_SKIP() << "Xvfb does not run here";
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        // Xvfb has no graphics card: SDL draws and presents in software, without Mesa.
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
    }
    void TearDown() override {
        if (xvfb_ > 0) {
            kill(xvfb_, SIGTERM);
            waitpid(xvfb_, nullptr, 0);
        }
    }
    pid_t xvfb_ = -1;
};

TEST_F(PlayLive, TheWindowShowsTheScreenAtTwiceItsSizeWithSharpPixels) {
    play::LiveWindow window;
    std::string why;
    ASSERT_TRUE(window.open(why)) << why;
    play::Screen screen;
    for (unsigned i = 0; i < screen.pixels.size(); i++) screen.pixels[i] = std::uint8_t(i * 7 + i / 640 * 3);
    for (unsigned i = 0; i < 768; i++) screen.palette[i] = std::uint8_t(i * 37 + 11);
    window.show(screen);
    int w = 0, h = 0;
    std::vector<std::uint32_t> seen = window.read_back(w, h);
    ASSERT_EQ(w, 1280);
    ASSERT_EQ(h, 960);
    ASSERT_EQ(seen.size(), 1280u * 960u);
    std::vector<std::uint32_t> rgb(640 * 480);
    play::to_rgb32(screen, rgb.data());
    std::size_t wrong = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) wrong += seen[std::size_t(y) * 1280 + std::size_t(x)] != rgb[std::size_t(y / 2) * 640 + std::size_t(x / 2)];
    EXPECT_EQ(wrong, 0u);
}

// F's full screen is seen with a window manager, which makes it (the live tests).
TEST_F(PlayLive, EscapeQuitOrClosingTheWindowAsksToStop) {
    play::LiveWindow window;
    std::string why;
    ASSERT_TRUE(window.open(why)) << why;
    EXPECT_EQ(window.pump(), play::LiveWindow::Input::None);
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.keysym.sym = SDLK_SPACE;
    SDL_PushEvent(&event);
    EXPECT_EQ(window.pump(), play::LiveWindow::Input::None);
    event.key.keysym.sym = SDLK_ESCAPE;
    SDL_PushEvent(&event);
    EXPECT_EQ(window.pump(), play::LiveWindow::Input::Stop);
    event = {};
    event.type = SDL_WINDOWEVENT;
    event.window.event = SDL_WINDOWEVENT_CLOSE;
    SDL_PushEvent(&event);
    EXPECT_EQ(window.pump(), play::LiveWindow::Input::Stop);
    event = {};
    event.type = SDL_QUIT;
    SDL_PushEvent(&event);
    EXPECT_EQ(window.pump(), play::LiveWindow::Input::Stop);
}

// Waits up to two seconds for done().
template <typename Done>
bool soon(Done done) {
    for (int i = 0; i < 400 && !done(); i++) SDL_Delay(5);
    return done();
}

TEST_F(PlayLive, TheSoundCardCountsWhatIsHeardAndWhereTheSoundBrokeOff) {
    play::LiveSound sound;
    std::string why;
    ASSERT_TRUE(sound.open(why)) << why;
    play::StreamClock& clock = sound.clock();
    auto heard = [&] { return clock.heard(play::steady_now_us()); };
    std::vector<float> tone(2 * 4800, 0.25f);
    clock.new_stream();
    sound.add(tone.data(), 4800);
    EXPECT_TRUE(soon([&] { return heard() == 4800; })) << heard();
    SDL_Delay(100);
    EXPECT_EQ(heard(), 4800u);  // nothing is heard that was not given
    EXPECT_TRUE(clock.done(play::steady_now_us()));
    // The emulated device would play as far ahead of the ear as the card needs; it
    // keeps a fragment of what it was given until it closes.
    EXPECT_EQ(clock.played(play::steady_now_us()), 4800u - play::StreamClock::kKept);
    EXPECT_EQ(clock.played(play::steady_now_us(), true), 4800u);

    // More of the stream after the card found the queue empty: the sound broke off.
    std::uint64_t before = sound.underruns();
    sound.add(tone.data(), 4800);
    EXPECT_EQ(sound.underruns(), before + 1);
    EXPECT_TRUE(soon([&] { return heard() == 9600; })) << heard();

    // A new stream after a pause is no break; bytes that made no sound still play for
    // their time.
    before = sound.underruns();
    clock.new_stream();
    sound.add(tone.data(), 1200);
    sound.pad_stream(4 * 3000, 48000, 0);
    EXPECT_TRUE(soon([&] { return heard() == 12600; })) << heard();
    EXPECT_EQ(sound.underruns(), before);

    // What is discarded is never heard, and nothing is waited for.
    clock.new_stream();
    std::vector<float> long_tone(2 * 96000, 0.25f);
    sound.add(long_tone.data(), 96000);
    SDL_Delay(50);
    sound.discard();
    std::uint64_t at_discard = heard();
    EXPECT_LT(at_discard, 12600u + 96000u);
    EXPECT_TRUE(clock.done(play::steady_now_us()));
    SDL_Delay(300);
    EXPECT_EQ(heard(), at_discard);
}

TEST_F(PlayLive, ALiveRunEndsWhenItsSoundHasPlayed) {
    play::Options o = options_for();
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(play::run(o, scripted_show), 0);
    double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const emu::Dsp& dsp = emu::box().dsp;
    EXPECT_EQ(emu::box().clock.mode(), emu::ClockMode::Real);
    EXPECT_EQ(dsp.receiver.frames, testbox::ac3_frame_starts(testbox::tone_ac3(48000)).size());
    // The run lasts as long as its sound, and at the end waits for the card to play
    // what the device still held.
    EXPECT_GT(spent, double(dsp.receiver.frames) * 0.032);
}

TEST_F(PlayLive, EscapeInALiveRunEndsTheShowThroughItsStopHandler) {
    play::Options o = options_for();
    o.trace = dir() + "/trace.jsonl";
    EXPECT_EXIT(
        {
            script.escape_at_picture = 10;
            play::run(o, scripted_show);
        },
        testing::ExitedWithCode(100 + SIGINT), "");
    // The handler stopped the sound (discarding what was queued) before the exit.
    std::vector<TraceLine> lines = read_trace(o.trace);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(lines[lines.size() - 3].is("SNDCTL_DSP_RESET")) << lines[lines.size() - 3].json;
    EXPECT_TRUE(lines.back().is("\"status\":" + std::to_string(100 + SIGINT) + "}")) << lines.back().json;
}

}  // namespace
