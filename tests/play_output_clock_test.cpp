// What an output that pulls its sound in chunks is taken to have played, from when it
// pulled and how much: an output simulated to the microsecond. And the stream clock the
// live players drain their emulated sound device by, and the screens that wait for
// their sound.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sys/soundcard.h>
#include <vector>

#include "box/box.h"
#include "box/emu/emu.h"
#include "play/ac3decoder.h"
#include "play/output_clock.h"
#include "play/stream_clock.h"
#include "show/ac3audio.h"
#include "testbox.h"

namespace {

constexpr std::uint32_t kRate = 48000, kChunk = 4096;
// A chunk's time, in µs (85333.3).
constexpr double kChunkUs = kChunk * 1e6 / kRate;
// The stream clocks here: the device plays two chunks and 960 sample frames ahead of
// what is heard, and a screen is shown when what is heard is 528 short of its sound.
constexpr std::uint32_t kLead = 2 * kChunk + 960, kShowAhead = 528;
constexpr play::StreamClock::Output kOutput{kRate, kChunk, kLead, kShowAhead};

TEST(PlayOutputClock, FollowsACardThatHoldsABufferAndCountsItsPausesInSound) {
    play::OutputClock clock(kRate, kChunk);
    // A card that pulls a chunk whenever it holds one: what was pulled before a pull
    // is heard by one chunk's time after it.
    std::uint64_t t = 1000000;
    std::uint64_t last = 0;
    for (int k = 0; k < 20; k++) {
        std::uint64_t at = t + std::uint64_t(k * kChunkUs);
        clock.pulled(at, kChunk, kChunk);
        std::uint64_t heard = clock.heard(at + 40000);
        EXPECT_GE(heard, last);
        last = heard;
        if (k > 0) {
            // Sound pulled by this pull's time, less the chunk the card holds, and 40 ms.
            double truth = double(k) * kChunk - kChunk + 40000 * kRate / 1e6;
            EXPECT_NEAR(double(heard), truth, 2) << k;
        }
    }
    EXPECT_EQ(clock.dry_spells(), 0u);

    // The card's thread stalls for 300 ms: the card plays everything it had, then
    // silence; the next pull comes late.
    std::uint64_t late = t + std::uint64_t(20 * kChunkUs) + 300000;
    EXPECT_LE(clock.heard(late), 20u * kChunk);
    clock.pulled(late, kChunk, kChunk);
    EXPECT_EQ(clock.dry_spells(), 1u);
    // It goes on from where it paused, one chunk's time after the late pull.
    EXPECT_NEAR(double(clock.heard(late + std::uint64_t(kChunkUs))), 20.0 * kChunk, 2);
    for (int k = 1; k < 5; k++) clock.pulled(late + std::uint64_t(k * kChunkUs), kChunk, kChunk);
    EXPECT_EQ(clock.dry_spells(), 1u);
}

TEST(PlayOutputClock, SilenceItWasGivenIsNotSoundAndForgottenSoundNeverPlays) {
    play::OutputClock clock(kRate, kChunk);
    // Half a chunk of sound, then nothing to give: silence makes up the rest.
    clock.pulled(0, kChunk, kChunk / 2);
    for (int k = 1; k < 4; k++) clock.pulled(std::uint64_t(k * kChunkUs), kChunk, 0);
    EXPECT_EQ(clock.heard(std::uint64_t(5 * kChunkUs)), kChunk / 2);
    // A pause of the card in silence is no break in the sound.
    clock.pulled(std::uint64_t(4 * kChunkUs) + 500000, kChunk, kChunk);
    EXPECT_EQ(clock.dry_spells(), 0u);

    // Sound comes again; half of it thrown away before it is heard.
    std::uint64_t t = std::uint64_t(4 * kChunkUs) + 500000;
    clock.pulled(t + std::uint64_t(kChunkUs), kChunk, kChunk);
    std::uint64_t at = t + std::uint64_t(kChunkUs) + std::uint64_t(kChunkUs / 2);
    std::uint64_t heard = clock.heard(at);
    EXPECT_EQ(clock.forget_unheard(at), 2u * kChunk + kChunk / 2 - heard);
    EXPECT_EQ(clock.heard(at + 10000000), heard);
}

TEST(PlayStreamClock, TheDeviceRampsToItsLeadAheadOfTheEarAndCountsBreaksOnlyInsideAStream) {
    play::StreamClock clock(kOutput);
    // The first stream: two seconds of sound, the card pulling a chunk every chunk's time.
    clock.new_stream();
    std::uint64_t t0 = 1000000;
    EXPECT_EQ(clock.played(t0), 0u);
    clock.added(t0, 2 * kRate);
    EXPECT_EQ(clock.played(t0 + 10000), 2u * 480);  // twice the rate from its first sound
    std::uint64_t last = 0;
    for (int k = 0; k < 20; k++) {
        std::uint64_t at = t0 + std::uint64_t(k * kChunkUs);
        clock.pulled(at, kChunk, kChunk);
        std::uint64_t played = clock.played(at + 1000), heard = clock.heard(at + 1000);
        EXPECT_GE(played, last);
        last = played;
        EXPECT_EQ(played, std::min<std::uint64_t>(heard + kLead, (at + 1000 - t0) * 2 * kRate / 1000000));
        if (k >= 6) {
            EXPECT_EQ(played, heard + kLead) << k;  // caught up
        }
    }
    std::uint64_t t = t0 + std::uint64_t(19 * kChunkUs) + 1000;
    EXPECT_EQ(clock.shown_by(t), clock.heard(t) + kShowAhead);
    // The device took 2.5 s of bytes at 44.1 kHz: half a second of silence is due, less
    // the sound still coming.
    EXPECT_EQ(clock.silence_due(4 * 110250, 44100, 0), kRate / 2u);
    EXPECT_EQ(clock.silence_due(4 * 110250, 44100, 16), kRate / 2u - 16);
    clock.added(t, kRate / 2);
    EXPECT_EQ(clock.silence_due(4 * 110250, 44100, 0), 0u);

    // The queue runs short in the middle of the stream and more of it comes: one break.
    std::uint64_t pulled = 20 * kChunk;
    for (; pulled + kChunk <= 5u * kRate / 2; pulled += kChunk) clock.pulled(t += 85333, kChunk, kChunk);
    clock.pulled(t += 85333, kChunk, std::uint32_t(5u * kRate / 2 - pulled));
    EXPECT_EQ(clock.starved(), 0u);
    clock.added(t, 100);
    EXPECT_EQ(clock.starved(), 1u);
    clock.pulled(t += 85333, kChunk, 100);
    EXPECT_FALSE(clock.done(t));
    for (int k = 0; k < 3; k++) clock.pulled(t += 85333, kChunk, 0);
    EXPECT_TRUE(clock.done(t));

    // The stream ended; the next one starts after a pause in silence: no break. The
    // device starts the new stream from zero and ramps again.
    clock.new_stream();
    EXPECT_EQ(clock.played(t), clock.played(t - 85333));
    clock.added(t, kRate);
    clock.pulled(t += 85333, kChunk, kChunk);
    EXPECT_EQ(clock.starved(), 1u);
    EXPECT_EQ(clock.played(t) - clock.played(t - 85333), std::uint64_t(85333) * 2 * kRate / 1000000);

    // A reset drops what was not heard: everything is done at once.
    clock.discard(t);
    EXPECT_TRUE(clock.done(t));
    EXPECT_EQ(clock.dry_spells(), 0u);

    // A show that stalls finds its device holding a fragment of what it gave, until
    // the device closes. The device's bytes are at its own rate.
    play::StreamClock stalled(kOutput);
    stalled.new_stream();
    stalled.added(t0, 4800);
    emu::Box& box = emu::reset(emu::Config{});
    ASSERT_EQ(box.dsp.open(), 0);
    int rate = 44100;
    ASSERT_EQ(box.dsp.ioctl(SNDCTL_DSP_SPEED, &rate), 0);
    EXPECT_EQ(stalled.played(t0 + 1000000), 4800 - play::StreamClock::kKept);
    EXPECT_EQ(stalled.played_bytes(t0 + 1000000, box.dsp), (4800 - play::StreamClock::kKept) * 44100 / kRate * 4);
    EXPECT_EQ(stalled.played(t0 + 1000000, true), 4800u);
}

// A sound card simulated on the box's clock: it pulls a chunk every chunk's time from
// its queue of decoded sound, and the device's count of what it has played comes from
// the clock those pulls drive.
struct SimulatedCard {
    SimulatedCard(play::StreamClock& clock, emu::Box& box) : clock(clock), box(box) {
        box.dsp.played_bytes_source = [this] {
            pull();
            return this->clock.played_bytes(this->box.clock.now_us(), this->box.dsp);
        };
    }
    ~SimulatedCard() { box.dsp.played_bytes_source = nullptr; }
    void pull() {
        const std::uint64_t now = box.clock.now_us();
        if (next_pull == 0) next_pull = now;
        for (; next_pull <= now; next_pull += std::uint64_t(kChunkUs)) {
            std::uint32_t sound = std::uint32_t(std::min<std::uint64_t>(waiting, kChunk));
            waiting -= sound;
            clock.pulled(next_pull, kChunk, sound);
        }
    }

    play::StreamClock& clock;
    emu::Box& box;
    std::uint64_t waiting = 0, next_pull = 0;  // frames in the queue; when the next pull is due
};

// The device of a live run, wired as the live player wires it: it drains by a stream
// clock whose card (simulated on the box's clock) pulls a chunk every chunk's time from
// a queue of decoded sound. A reset empties the device as the kernel's does: nothing is
// queued, its count of the stream stays where it was, and a close that follows waits
// for nothing. A stream that goes on after a reset gets no silence and no break.
TEST(PlayStreamClock, AResetLeavesTheDeviceHoldingNothingWithItsCountWhereItWas) {
    play::StreamClock clock(kOutput);
    emu::Box& box = emu::reset(emu::Config{});
    auto now = [&] { return box.clock.now_us(); };
    SimulatedCard card(clock, box);
    std::uint64_t& waiting = card.waiting;
    auto odelay = [&] {
        int delay = -1;
        EXPECT_EQ(box.dsp.ioctl(SNDCTL_DSP_GETODELAY, &delay), 0);
        return delay;
    };
    auto reset = [&] {
        EXPECT_EQ(box.dsp.ioctl(SNDCTL_DSP_RESET, nullptr), 0);
        clock.discard(now());  // what the player does when the device is reset
        waiting = 0;
    };
    // Bursts of an AC-3 frame (1536 sample frames) fed as the show feeds them, keeping
    // at most three in the device; each becomes decoded sound for the card, padded with
    // any silence due to the stream. False when the device does not make room for the
    // next burst within a second.
    const std::vector<std::uint8_t> burst(4 * 1536, 0);
    std::uint64_t padded = 0;
    auto feed = [&](int bursts) {
        for (int i = 0; i < bursts; i++) {
            for (int waits = 0; odelay() > 3 * int(burst.size()); waits++) {
                if (waits == 200) return false;
                box.clock.sleep_us(5000);
            }
            if (box.dsp.write(burst.data(), burst.size()) != long(burst.size())) return false;
            clock.added(now(), 1536);
            waiting += 1536;
            std::uint64_t silence = clock.silence_due(box.dsp.taken(), box.dsp.rate(), 0);
            clock.added(now(), silence);
            waiting += silence;
            padded += silence;
        }
        return true;
    };

    ASSERT_EQ(box.dsp.open(), 0);
    clock.new_stream();
    int setting = AFMT_S16_LE;
    ASSERT_EQ(box.dsp.ioctl(SNDCTL_DSP_SETFMT, &setting), 0);
    setting = 2;
    ASSERT_EQ(box.dsp.ioctl(SNDCTL_DSP_CHANNELS, &setting), 0);
    setting = int(kRate);
    ASSERT_EQ(box.dsp.ioctl(SNDCTL_DSP_SPEED, &setting), 0);
    ASSERT_TRUE(feed(100));
    EXPECT_GT(odelay(), 0);  // the device holds sound when it is reset

    reset();
    std::uint64_t at_reset = box.dsp.taken();  // what it had played
    EXPECT_GT(at_reset, 0u);
    EXPECT_EQ(odelay(), 0);
    EXPECT_EQ(clock.played_bytes(now(), box.dsp), at_reset);

    // The stream goes on after the reset: the device counts on from where it was, the
    // card hears it without silence put in front and without a break.
    EXPECT_TRUE(feed(100));
    EXPECT_EQ(padded, 0u);
    EXPECT_GE(box.dsp.taken(), at_reset + 99 * burst.size());
    EXPECT_EQ(clock.played(now()), clock.heard(now()) + kLead);  // ahead of the ear again
    EXPECT_EQ(clock.starved(), 0u);
    EXPECT_EQ(clock.dry_spells(), 0u);
    EXPECT_EQ(box.dsp.underruns, 0u);

    // The show stops: a reset, then the close, which has nothing to wait for.
    reset();
    EXPECT_EQ(odelay(), 0);
    std::uint64_t closing = now();
    ASSERT_EQ(box.dsp.close(), 0);
    EXPECT_EQ(now() - closing, 0u);
}

// A soundtrack at 44.1, 32 or 48 kHz, sent by the show's own sound code and decoded
// and queued as the live players do it, for a card (simulated on the box's clock)
// that pulls a chunk every chunk's time. The card is given the decoded stream whole:
// no silence in front of it or between its frames (what the resampler holds back of
// one frame comes out with the next one's sound), only after it. The card never finds
// the queue short, and the close waits for what the device holds, not for bytes that
// made no sound.
TEST(PlayStreamClock, AStreamAtAnyRateIsGivenWholeWithoutSilenceInItsMiddle) {
    for (int rate : {44100, 32000, 48000}) {
        SCOPED_TRACE(rate);
        play::StreamClock clock(kOutput);
        play::Ac3Decoder decoder;
        emu::Box& box = testbox::fresh_box();
        testbox::write_file(box.config.root + "/tone.ac3", testbox::tone_ac3(rate));
        auto now = [&] { return box.clock.now_us(); };
        std::vector<float> given;  // everything queued for the card, in order
        std::uint64_t silence = 0, silence_inside = 0;  // padded since the last sound; of it, followed by sound
        SimulatedCard card(clock, box);
        auto add = [&](const std::vector<float>& samples) {
            clock.added(now(), samples.size() / 2);
            given.insert(given.end(), samples.begin(), samples.end());
            card.waiting += samples.size() / 2;
        };
        struct Player : emu::Observer {
            std::function<void()> opened, written;
            std::function<void(const std::uint8_t*, std::size_t)> frame;
            void dsp_opened(std::uint64_t) override { opened(); }
            void ac3_frame(std::uint64_t, const std::uint8_t* data, std::size_t len) override { frame(data, len); }
            void dsp_written(std::uint64_t) override { written(); }
        } player;
        std::vector<float> pcm;
        player.opened = [&] { clock.new_stream(); };
        player.frame = [&](const std::uint8_t* data, std::size_t len) {
            pcm.clear();
            if (!decoder.decode(data, len, pcm)) return;
            silence_inside += silence;
            silence = 0;
            add(pcm);
        };
        player.written = [&] {
            std::uint64_t frames = clock.silence_due(box.dsp.taken(), box.dsp.rate(), decoder.held());
            silence += frames;
            add(std::vector<float>(2 * frames, 0.0f));
        };
        box.observer = &player;

        std::FILE* f = box::fopen("/tone.ac3", "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ac3_init(f), 0);
        std::fclose(f);
        while (ac3_process() == 0) box::usleep(2000);
        // The close waits for what the device holds, no longer: all of it is within the
        // card's lead and its last chunk by then.
        const std::uint64_t closed_from = now();
        ac3_stop(0);
        EXPECT_LE(now() - closed_from, std::uint64_t(2 * kChunkUs) + 1000000u * kLead / kRate);
        // Sound or silence for every sample frame the device took, but for the end of
        // the sound that the resampler still holds.
        EXPECT_EQ(given.size() / 2 + decoder.held(), box.dsp.taken() / 4 * kRate / std::uint64_t(rate));
        box.observer = nullptr;

        // The stream as one decoder makes it of all its frames.
        play::Ac3Decoder whole;
        std::vector<float> stream;
        for (const testbox::Bytes& frame : testbox::ac3_frames(testbox::tone_ac3(rate)))
            ASSERT_TRUE(whole.decode(frame.data(), frame.size(), stream));
        ASSERT_GE(given.size(), stream.size());
        std::size_t first_wrong = 0;
        while (first_wrong < stream.size() && given[first_wrong] == stream[first_wrong]) first_wrong++;
        EXPECT_EQ(first_wrong / 2, stream.size() / 2) << "the card's sound is not the stream from sample frame "
                                                       << first_wrong / 2 << " of " << stream.size() / 2;
        EXPECT_EQ(silence_inside, 0u);
        EXPECT_TRUE(std::all_of(given.begin() + std::ptrdiff_t(stream.size()), given.end(), [](float v) { return v == 0.0f; }));
        EXPECT_EQ(clock.starved(), 0u);
        EXPECT_EQ(clock.dry_spells(), 0u);
        EXPECT_EQ(box.dsp.underruns, 0u);
    }
}

TEST(PlayLiveScreens, TakenAsTheShowDrawsAndShownOnceTheirSoundIsHeard) {
    emu::Box& box = emu::reset(emu::Config{});
    play::LiveScreens screens;
    auto look = [&](std::uint64_t t_us, std::uint8_t pixel, std::uint64_t played) {
        box.fb.memory[0] = pixel;
        screens.look(t_us, box.fb, played);
    };
    look(0, 1, 100);        // the first look takes the screen
    screens.changed();
    look(5000, 2, 200);     // changed, but too soon
    look(8000, 3, 300);     // changed, 8 ms on
    look(20000, 4, 400);    // not changed: only after 40 ms
    look(48000, 5, 500);
    EXPECT_EQ(screens.due(99), nullptr);
    play::Screen* shown = screens.due(300);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->pixels[0], 3);  // the newest due
    EXPECT_EQ(screens.played_of_due(), 300u);
    EXPECT_EQ(screens.due(499), nullptr);
    ASSERT_NE(screens.last(), nullptr);
    EXPECT_EQ(screens.last()->pixels[0], 5);
    EXPECT_EQ(screens.due(500)->pixels[0], 5);
}

}  // namespace
