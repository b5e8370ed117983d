// The AC-3 pass-through player on the emulated sound device: loading and its refusals,
// the bursts byte for byte, the frame counter and positioning.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <gtest/gtest.h>
#include <sys/soundcard.h>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

constexpr std::uint32_t kSeed = 0x1234;

struct Recorder : emu::Observer {
    std::vector<std::string> lines;
    std::vector<Bytes> frames;
    std::vector<Bytes> writes;
    void dsp_write(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        writes.emplace_back(data, data + len);
    }
    void request(std::uint64_t, const std::string& json) override { lines.push_back(json); }
    void ac3_frame(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        frames.emplace_back(data, data + len);
    }
    int count(const std::string& what) const {
        int n = 0;
        for (const auto& l : lines) n += l.find(what) != std::string::npos;
        return n;
    }
};

class Player : public ::testing::Test {
protected:
    void SetUp() override {
        box_ = &testbox::fresh_box(config_);
        box_->observer = &rec_;
        tone_ = testbox::tone_ac3();
        starts_ = testbox::ac3_frame_starts(tone_);
        frames_ = testbox::ac3_frames(tone_);
    }
    void TearDown() override {
        ac3_stop(1);  // the next test in this process starts unloaded
        box_->observer = nullptr;
        if (file_) std::fclose(file_);
    }
    int load(const Bytes& data) {
        file_ = testbox::open_scrambled(data, kSeed);
        return crypted_ac3_init(file_);
    }
    // Lets the emulated device play until it holds at most `bytes`.
    void drain_to(std::uint32_t bytes) {
        while (box_->dsp.queued() > bytes) box_->clock.sleep_us(1000);
    }

    emu::Config config_;
    emu::Box* box_ = nullptr;
    Recorder rec_;
    Bytes tone_;
    std::vector<std::size_t> starts_;
    std::vector<Bytes> frames_;  // the tone's frames, one by one
    std::FILE* file_ = nullptr;
};

TEST_F(Player, LoadsAStreamEndingAtEndOfFile) {
    ASSERT_EQ(load(tone_), 0);
    EXPECT_EQ(fcount, 0u);
    EXPECT_EQ(std::ftell(file_), long(tone_.size()));
    EXPECT_TRUE(box_->dsp.is_open());
    EXPECT_EQ(box_->dsp.rate(), 48000u);
    EXPECT_EQ(rec_.count("SNDCTL_DSP_SETFMT\",\"value\":16"), 1);
    EXPECT_EQ(rec_.count("SNDCTL_DSP_CHANNELS\",\"value\":2"), 1);
    EXPECT_EQ(rec_.count("SNDCTL_DSP_SETFRAGMENT\",\"value\":2147418124"), 1);
}

TEST_F(Player, StopsTheScanAtTheFirstByteThatIsNoFrame) {
    Bytes data = tone_;
    data.push_back(0x0B);
    data.push_back(0x42);
    data.insert(data.end(), 10, 0x55);
    ASSERT_EQ(load(data), 0);
    EXPECT_EQ(std::ftell(file_), long(tone_.size()));
    // The keystream is still in line with the file: the next byte reads back plainly.
    std::uint8_t next[2];
    cryptread(next, 1, 2, file_);
    EXPECT_EQ(next[0], 0x0B);
    EXPECT_EQ(next[1], 0x42);
}

// A stream the scan refuses leaves the device untouched; a sample rate code of 3 is
// seen only once the device is open, and it is closed again. Either way nothing is left
// loaded, and a stop then has no device to reset.
TEST_F(Player, RefusesBadStreams) {
    const struct {
        const char* name;
        std::function<void(Bytes&)> spoil;
        int result;
        int opens;
    } cases[] = {
        {"frame size code 38", [&](Bytes& d) { d[starts_[3] + 4] = (d[starts_[3] + 4] & 0xC0) | 38; }, -22, 0},
        {"no sync word", [](Bytes& d) { d[0] = 0x0C; }, -22, 0},
        // The stream would reach past the end of the file.
        {"last frame cut short", [](Bytes& d) { d.erase(d.end() - 100, d.end()); }, -5, 0},
        {"sample rate code 3", [](Bytes& d) { d[4] |= 0xC0; }, -22, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = tone_;
        c.spoil(data);
        EXPECT_EQ(load(data), c.result);
        std::fclose(file_);
        file_ = nullptr;
        EXPECT_EQ(rec_.count("\"open\",\"dev\":\"/dev/dsp\""), c.opens);
        EXPECT_EQ(rec_.count("\"close\",\"dev\":\"/dev/dsp\""), c.opens);
        EXPECT_FALSE(box_->dsp.is_open());
        ac3_stop(1);
        EXPECT_EQ(rec_.count("SNDCTL_DSP_RESET"), 0);
        EXPECT_EQ(ac3_process(), -61);
        rec_.lines.clear();
    }
}

// A run of frames 4 GiB - 4 bytes long, made up as it is read: its length and the 4
// spare bytes do not fit in 32 bits, so the load is refused before any buffer is made.
TEST_F(Player, RefusesAStreamTooLongToCountIn32Bits) {
    struct Run {
        // Frame lengths: 2560-byte frames at 48 kHz, then 138- and 140-byte frames at
        // 44.1 kHz (the scan does not compare rates) to end exactly at 2^32 - 4.
        std::uint64_t big, small138, small140, pos = 0;
        std::uint8_t at(std::uint64_t p) const {
            std::uint64_t start, code;
            if (p < big * 2560) {
                start = p / 2560 * 2560;
                code = 36;
            } else if (p < big * 2560 + small138 * 138) {
                start = p - (p - big * 2560) % 138;
                code = 0x40;
            } else {
                std::uint64_t from = big * 2560 + small138 * 138;
                start = p - (p - from) % 140;
                code = 0x41;
            }
            const std::uint8_t head[6] = {0x0B, 0x77, 0, 0, std::uint8_t(code), 0};
            return p - start < 6 ? head[p - start] : 0;
        }
    };
    constexpr std::uint64_t kTarget = (1ull << 32) - 4;
    Run run{};
    std::uint64_t half = kTarget / 2;  // 1280 big + 69 a + 70 b, all lengths being even
    run.big = (half - 5000) / 1280;
    std::uint64_t rest = half - run.big * 1280;
    run.small138 = (70 - rest % 70) % 70;
    run.small140 = (rest - 69 * run.small138) / 70;
    ASSERT_EQ(run.big * 2560 + run.small138 * 138 + run.small140 * 140, kTarget);

    cookie_io_functions_t io{};
    io.read = [](void* c, char* buf, std::size_t n) -> ssize_t {
        auto* r = static_cast<Run*>(c);
        // Past the last frame the stream ends: the scan stops there.
        std::uint64_t end = r->big * 2560 + r->small138 * 138 + r->small140 * 140;
        std::size_t got = r->pos >= end ? 0 : std::size_t(std::min<std::uint64_t>(n, end - r->pos));
        for (std::size_t i = 0; i < got; i++) buf[i] = char(r->at(r->pos + i));
        r->pos += got;
        return ssize_t(got);
    };
    io.seek = [](void* c, off64_t* offset, int whence) {
        auto* r = static_cast<Run*>(c);
        r->pos = std::uint64_t(whence == SEEK_SET ? *offset : std::int64_t(r->pos) + *offset);
        *offset = off64_t(r->pos);
        return 0;
    };
    std::FILE* f = fopencookie(&run, "rb", io);
    ASSERT_NE(f, nullptr);
    std::setvbuf(f, nullptr, _IONBF, 0);
    EXPECT_EQ(ac3_init(f), -12);
    EXPECT_EQ(std::ftell(f), 0);
    EXPECT_FALSE(box_->dsp.is_open());
    EXPECT_EQ(ac3_process(), -61);
    std::fclose(f);
}

struct DeviceCase {
    emu::Fault fault;
    int result;
};

class PlayerDevice : public Player, public ::testing::WithParamInterface<DeviceCase> {
    void SetUp() override {
        config_.faults.insert(GetParam().fault);
        Player::SetUp();
    }
};

TEST_P(PlayerDevice, RefusalsEndTheLoadWithNothingLeftOpen) {
    EXPECT_EQ(load(tone_), GetParam().result);
    EXPECT_FALSE(box_->dsp.is_open());
    EXPECT_EQ(ac3_process(), -61);  // nothing loaded
}

INSTANTIATE_TEST_SUITE_P(Refusals, PlayerDevice,
                         ::testing::Values(DeviceCase{emu::Fault::DspMissing, -19}, DeviceCase{emu::Fault::DspFormat, -5},
                                           DeviceCase{emu::Fault::DspChannels, -5}, DeviceCase{emu::Fault::DspSpeed, -5}),
                         [](const auto& info) { return "Fault" + std::to_string(int(info.param.fault)); });

TEST_F(Player, AcceptsARateWithinThreePercent) {
    box_->config.dsp_rate_error = -0.02;
    EXPECT_EQ(load(tone_), 0);
    ac3_stop(1);
    std::fclose(file_);
    box_->config.dsp_rate_error = -0.04;
    EXPECT_EQ(load(tone_), -5);
    EXPECT_FALSE(box_->dsp.is_open());
}

TEST_F(Player, LoadsOtherRatesAndPlainFiles) {
    for (int rate : {44100, 32000}) {
        Bytes t = testbox::tone_ac3(rate);
        std::FILE* f = testbox::open_scrambled(t, kSeed);
        ASSERT_EQ(crypted_ac3_init(f), 0) << rate;
        EXPECT_EQ(box_->dsp.rate(), unsigned(rate));
        EXPECT_EQ(ac3_process(), 0);
        ac3_stop(1);
        std::fclose(f);
    }
    std::string path = testbox::temp_dir() + "/plain.ac3";
    testbox::write_file(path, tone_);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(ac3_init(f), 0);
    EXPECT_EQ(ac3_process(), 0);
    EXPECT_EQ(fcount, 2u);
    std::fclose(f);
}

// A frame with a valid header and a byte pattern after it.
Bytes fake_frame(int code, std::uint8_t fill) {
    Bytes f(std::size_t(framesizes[code * 4]), 0);
    f[0] = 0x0B;
    f[1] = 0x77;
    f[4] = std::uint8_t(code);
    for (std::size_t i = 5; i < f.size(); i++) f[i] = std::uint8_t(fill + i);
    return f;
}

TEST_F(Player, BurstsAreByteExact) {
    Recorder& tap = rec_;
    Bytes a = fake_frame(16, 1), b = fake_frame(0, 100);  // 512 and 128 bytes
    Bytes data = a;
    data.insert(data.end(), b.begin(), b.end());
    ASSERT_EQ(load(data), 0);
    ASSERT_EQ(ac3_process(), 0);
    ASSERT_EQ(tap.writes.size(), 2u);
    const Bytes& first = tap.writes[0];
    const Bytes& second = tap.writes[1];
    ASSERT_EQ(first.size(), 6144u);
    const std::uint8_t preamble[8] = {0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, 0x20, 0x57};
    EXPECT_EQ(0, std::memcmp(first.data(), preamble, 8));
    EXPECT_EQ(0, std::memcmp(second.data(), preamble, 8));
    // Frame a, swapped in pairs, then 3 more bytes: the start of frame b.
    for (std::size_t i = 0; i < 512 + 3; i++) {
        std::uint8_t want = i < 512 ? a[i ^ 1] : b[(i - 512) ^ 1];
        ASSERT_EQ(first[8 + i], want) << i;
    }
    for (std::size_t i = 8 + 515; i < 6144; i++) ASSERT_EQ(first[i], 0) << i;
    // Frame b, then 3 of the zero bytes after the stream; beyond them the burst still
    // holds the rest of frame a.
    for (std::size_t i = 0; i < 128; i++) ASSERT_EQ(second[8 + i], b[i ^ 1]) << i;
    for (std::size_t i = 128; i < 131; i++) EXPECT_EQ(second[8 + i], 0) << i;
    for (std::size_t i = 131; i < 515; i++) ASSERT_EQ(second[8 + i], first[8 + i]) << i;
    for (std::size_t i = 8 + 515; i < 6144; i++) ASSERT_EQ(second[i], 0) << i;
    // And the receiver takes both frames back out.
    ASSERT_EQ(tap.frames.size(), 2u);
    EXPECT_EQ(tap.frames[0], a);
    EXPECT_EQ(tap.frames[1], b);
}

// On a clock that polls take no time of, the device holds exactly what was written
// less what its rate has played.
class PlayerOnAStillClock : public Player {
    void SetUp() override {
        config_.poll_us = 0;
        Player::SetUp();
    }
};

// The player writes while the device holds 12288 bytes or less: two bursts on an
// empty device, two more with exactly 12288 held, none with 12292 held.
TEST_F(PlayerOnAStillClock, FeedsAtTheThresholdAndNotAboveIt) {
    ASSERT_EQ(load(tone_), 0);
    ASSERT_EQ(ac3_process(), 0);
    ASSERT_EQ(box_->dsp.queued(), 12288u);
    ASSERT_EQ(ac3_process(), 0);
    EXPECT_EQ(fcount, 4u);
    box_->clock.sleep_us(63980);  // 3071 sample frames of 4 bytes played at 48 kHz
    ASSERT_EQ(box_->dsp.queued(), 12292u);
    std::uint64_t writes = box_->dsp.writes;
    EXPECT_EQ(ac3_process(), 0);
    EXPECT_EQ(box_->dsp.writes, writes);
    EXPECT_EQ(fcount, 4u);
    box_->clock.sleep_us(20);
    ASSERT_EQ(box_->dsp.queued(), 12288u);
    EXPECT_EQ(ac3_process(), 0);
    EXPECT_EQ(box_->dsp.writes, writes + 2);
    EXPECT_EQ(fcount, 6u);
}

TEST_F(Player, EndsWithMinus61AndAFrozenCounter) {
    ASSERT_EQ(load(tone_), 0);
    std::uint32_t frames = std::uint32_t(starts_.size());
    int r = 0;
    while ((r = ac3_process()) == 0) drain_to(12288);
    EXPECT_EQ(r, -61);
    EXPECT_EQ(fcount, frames);
    // While the device is still full the call answers 0 without looking further.
    drain_to(12288);
    EXPECT_EQ(ac3_process(), -61);
    EXPECT_EQ(fcount, frames);
    EXPECT_EQ(box_->dsp.underruns, 0u);
}

// A driver may insist on fragments far larger than the show's bursts and hold a partly
// filled one back: the end of a soundtrack must still play on time, not at the close.
class PlayerOnLargeFragments : public Player {
protected:
    void SetUp() override {
        config_.dsp_fragment = 24600;
        Player::SetUp();
    }
};

// Blocking writes that signals end early (a stop and continue of the process, a signal
// the show lives through) are continued: every frame reaches the receiver whole and in
// order, and the fragment the soundtrack ends in is filled up exactly and posted.
TEST_F(PlayerOnLargeFragments, WritesTakenInPiecesStillDeliverEveryFrame) {
    // After how many bytes each write is cut: 0 fails with EINTR, 100000 takes all.
    static constexpr std::size_t kCuts[] = {0, 6143, 1, 100000, 0, 0, 4095, 100000, 2, 3000, 100000};
    box_->dsp.interrupt_write = [n = std::size_t(0)](std::size_t) mutable { return kCuts[n++ % std::size(kCuts)]; };
    ASSERT_EQ(load(tone_), 0);
    int r = 0;
    while ((r = ac3_process()) == 0) drain_to(12288);
    EXPECT_EQ(r, -61);
    EXPECT_TRUE(rec_.frames == frames_);
    EXPECT_EQ(box_->dsp.receiver.bad_bursts, 0u);
    EXPECT_GT(rec_.count("\"interrupted\":true"), int(starts_.size() / 4));
    EXPECT_GT(rec_.writes.size(), 2 * starts_.size());
    // The bursts and the zeros after them end exactly on a fragment: nothing held back.
    std::size_t written = 0;
    for (const Bytes& w : rec_.writes) written += w.size();
    EXPECT_EQ(written, (starts_.size() * 6144 + 24599) / 24600 * 24600);
    EXPECT_EQ(box_->dsp.held(), 0u);
    EXPECT_EQ(rec_.count("SNDCTL_DSP_POST"), 1);
    EXPECT_EQ(box_->dsp.underruns, 0u);
}

// A bad frame ends the soundtrack as its end does: what was sent before it plays on
// time, and only once, not at the close many seconds later. Every later call reports it.
TEST_F(PlayerOnLargeFragments, WhatCameBeforeABadFramePlaysOnTime) {
    Bytes data = tone_;
    data[starts_[21] + 4] ^= 0x40;  // frame 21 claims another sample rate
    ASSERT_EQ(load(data), 0);
    int r = 0;
    while ((r = ac3_process()) == 0) drain_to(12288);
    EXPECT_EQ(r, -22);
    EXPECT_EQ(fcount, 21u);
    for (int i = 0; i < 3; i++) {
        drain_to(12288);
        EXPECT_EQ(ac3_process(), -22);
    }
    drain_to(0);
    EXPECT_EQ(box_->dsp.held(), 0u);
    EXPECT_TRUE(rec_.frames == std::vector<Bytes>(frames_.begin(), frames_.begin() + 21));
    EXPECT_EQ(rec_.count("SNDCTL_DSP_POST"), 1);
    // A skip past the bad frame meets it too.
    EXPECT_EQ(ac3_skip(30), -22);
}

TEST_F(Player, SkipPositionsAbsolutely) {
    ASSERT_EQ(load(tone_), 0);
    EXPECT_EQ(ac3_skip(10), 0);
    EXPECT_EQ(fcount, 10u);
    EXPECT_EQ(ac3_skip(0), 0);
    EXPECT_EQ(fcount, 0u);
    ASSERT_EQ(ac3_process(), 0);
    EXPECT_EQ(rec_.frames.at(0), frames_[0]);

    EXPECT_EQ(ac3_skip(5), 0);
    ASSERT_EQ(ac3_process(), 0);
    EXPECT_EQ(rec_.frames.at(2), frames_[5]);

    std::uint32_t frames = std::uint32_t(starts_.size());
    EXPECT_EQ(ac3_skip(frames + 1), -61);
    EXPECT_EQ(fcount, frames);
    drain_to(12288);
    EXPECT_EQ(ac3_process(), -61);
}

TEST_F(Player, StopWithAndWithoutReset) {
    ASSERT_EQ(load(tone_), 0);
    ASSERT_EQ(ac3_process(), 0);
    ac3_stop(0);
    EXPECT_EQ(rec_.count("SNDCTL_DSP_RESET"), 0);
    // Closed without a reset: the device keeps the two bursts to play out.
    EXPECT_EQ(rec_.count("\"close\",\"dev\":\"/dev/dsp\",\"queued\":122"), 1);
    EXPECT_EQ(fcount, 0u);
    std::fclose(file_);
    ASSERT_EQ(load(tone_), 0);
    ASSERT_EQ(ac3_process(), 0);
    ac3_stop(1);
    EXPECT_EQ(rec_.count("SNDCTL_DSP_RESET"), 1);
    EXPECT_EQ(rec_.count("\"close\",\"dev\":\"/dev/dsp\",\"queued\":0"), 1);
}

}  // namespace
