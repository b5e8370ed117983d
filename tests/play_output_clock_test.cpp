// What an output that pulls its sound in chunks is taken to have played, from when it
// pulled and how much: an output simulated to the microsecond.
#include <gtest/gtest.h>

#include "play/output_clock.h"

namespace {

constexpr std::uint32_t kRate = 48000, kChunk = 4096;
// A chunk's time, in µs (85333.3).
constexpr double kChunkUs = kChunk * 1e6 / kRate;

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

}  // namespace
