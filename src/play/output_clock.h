// How much sound an output has played out loud, told from nothing but when it pulled
// sound and how much: a sound card's callback, or a web page's audio callback. The
// emulated sound device drains by it, so the pictures follow the sound as it is heard,
// however much the output holds in front of the loudspeaker.
//
// An output plays at its rate without a pause while it has something to play, and
// what it pulls is heard after what it still held at that moment: at most `held` frames
// (for a card whose callback refills a buffer of n frames, n). Each pull therefore
// bounds from below how far the output has played, and the closest of the last
// second's bounds, moved on at the rate, is the estimate (a second is too short for
// the output's crystal to drift from this machine's clock). When that estimate gets
// ahead of everything pulled before a pull, the output cannot have played without a
// pause: it ran dry in between (its thread came too late), and the pause is counted
// when it interrupted sound.
//
// Times are microseconds of a steady clock; counts are sample frames. Pulls come from
// the output's thread, everything else from any other: the state is locked.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

namespace play {

class OutputClock {
public:
    OutputClock(std::uint32_t rate, std::uint32_t held) : rate_(rate), held_(held) {}

    // The output took `frames` at t_us, the first `sound` of them sound of ours (the
    // rest silence: there was no more).
    void pulled(std::uint64_t t_us, std::uint32_t frames, std::uint32_t sound);
    // Frames of sound heard by t_us; never less than an earlier answer.
    std::uint64_t heard(std::uint64_t t_us);
    // Sound pulled but not heard by t_us no longer counts, as if it had been silence
    // (it was thrown away); returns how many frames that was.
    std::uint64_t forget_unheard(std::uint64_t t_us);
    // Times the output paused in the middle of sound.
    std::uint64_t dry_spells();

private:
    struct Pull {
        std::uint64_t t_us;
        std::uint64_t first;         // frames pulled before this pull
        std::uint32_t frames;
        std::uint32_t sound;
        std::uint64_t sound_before;  // frames of sound pulled before this pull
    };
    // Frames played by t_us, all pulled frames counted; updates played_.
    std::uint64_t played(std::uint64_t t_us);
    // The best lower bound on the frames played by t_us, or -1 without one.
    std::int64_t bound(std::uint64_t t_us) const;

    const std::uint32_t rate_;
    const std::uint32_t held_;
    std::mutex mutex_;
    std::deque<Pull> pulls_;          // oldest first: those not heard whole, the last second's
    std::size_t bounds_from_ = 0;     // the pulls before this index were before a pause
    std::uint64_t pulled_ = 0;
    std::uint64_t sound_ = 0;
    std::uint64_t played_ = 0;
    std::uint64_t dry_spells_ = 0;
};

}  // namespace play
