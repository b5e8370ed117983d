// What a live player's emulated sound device has played, and what of it has been heard:
// one clock for every sound output that plays the decoded sound of the box's digital
// output (the live window's sound card, the web page's audio worklet), and the screens
// that wait for their sound to be heard.
//
// The output is a queue of decoded sound that the output pulls from at its own rate;
// the output reports each pull (how much it took, how much of that was our sound) and
// an OutputClock makes of those what has been heard. The emulated device plays ahead
// of the ear by `lead` frames: what it has played is what the output will want next,
// and the show keeps only a few AC-3 frames in its device. It gets that far ahead at
// the start of a stream by playing at twice the rate (at once, it would run dry). It
// never plays the last kKept frames the output was given before the device closes: a
// show whose thread stalls (a busy machine, a browser's collection) while the output
// still holds sound finds its device waiting, not run dry. A screen is shown when the sound the device had played at its moment is heard, so the
// pictures follow the sound as it is heard.
//
// Counts are sample frames at the decoded rate, times microseconds of a steady clock.
// Pulls may come from the output's own thread: the state is locked.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "play/output_clock.h"
#include "play/screen.h"

namespace emu {
class Dsp;
class Framebuffer;
}

namespace play {

// Microseconds of the steady clock the live players time their outputs with.
std::uint64_t steady_now_us();

class StreamClock {
public:
    struct Output {
        std::uint32_t rate;        // sample frames a second
        std::uint32_t held;        // at most this much pulled is still in the output when it pulls again
        std::uint32_t lead;        // how far the device plays ahead of what is heard
        std::uint32_t show_ahead;  // a screen is shown when what is heard is this short of its sound
    };

    // A fragment of the device.
    static constexpr std::uint64_t kKept = 1024;

    explicit StreamClock(const Output& output) : output_(output), heard_(output.rate, output.held) {}

    // The output took `frames` at t_us, the first `sound` of them ours (the rest
    // silence: the queue had no more).
    void pulled(std::uint64_t t_us, std::uint32_t frames, std::uint32_t sound);
    // `frames` of sound went to the end of the output's queue.
    void added(std::uint64_t t_us, std::uint64_t frames);
    // The sound device was opened again: a new stream, which plays after what is still
    // queued of the last one.
    void new_stream();
    // The device has taken `taken` bytes of its current stream at `device_rate` (four
    // bytes a sample frame), and `coming` frames of their sound are still on their way
    // (the decoder's resampler holds them back): the frames of silence to add so that
    // the stream's sound lasts as long (bytes that made no sound still take their time
    // to play).
    std::uint64_t silence_due(std::uint64_t taken, std::uint32_t device_rate, std::uint64_t coming);
    // The output dropped the frames still in its queue, those added and not pulled yet
    // (the device was reset): everything not heard yet is gone. The device holds
    // nothing more: it has played all that is left of the stream, and its count of
    // the stream goes on from what it had played.
    void discard(std::uint64_t t_us);

    // Sample frames, of all streams, the emulated device has played by t_us (closing:
    // the device is closing, it plays what it was given to the end).
    std::uint64_t played(std::uint64_t t_us, bool closing = false);
    // What the device has played of its current stream, in its bytes; it never goes
    // back, a reset included.
    std::uint64_t played_bytes(std::uint64_t t_us, const emu::Dsp& dsp);
    // Sample frames heard by t_us, of all streams.
    std::uint64_t heard(std::uint64_t t_us) { return heard_.heard(t_us); }
    // What a screen waits for: it is shown once this reaches what the device had
    // played when the screen was taken.
    std::uint64_t shown_by(std::uint64_t t_us) { return heard(t_us) + output_.show_ahead; }
    // Everything queued has been heard, or the rest was discarded.
    bool done(std::uint64_t t_us);
    // Times the output found the queue short in the middle of a stream, more of the
    // stream coming after.
    std::uint64_t starved();
    // Times the output itself paused in the middle of sound (its thread came late).
    std::uint64_t dry_spells() { return heard_.dry_spells(); }

private:
    const Output output_;
    OutputClock heard_;
    std::mutex mutex_;
    std::uint64_t queued_ = 0;        // sample frames ever queued, less those discarded
    std::uint64_t given_ = 0;         // of those, taken by the output
    std::uint64_t stream_start_ = 0;  // queued_ when the current stream began, or was last reset
    std::uint64_t stream_base_ = 0;   // frames of the stream the device had played by stream_start_
    std::uint64_t stream_sound_us_ = 0;  // when its first sound came; 0 before
    bool short_ = false;              // the output found the queue short in the middle of a stream
    bool cut_ = false;                // discarded since the last sound was added
    std::uint64_t starved_ = 0;
};

// The screens of a live run: taken as the show draws (a changed screen at most every
// kChangedEveryUs, any screen every kEveryUs: drawing straight into the screen on
// display makes no display change) with what the device had played then, and shown
// once that has been heard.
class LiveScreens {
public:
    static constexpr std::uint64_t kChangedEveryUs = 8000;
    static constexpr std::uint64_t kEveryUs = 40000;

    // The display changed.
    void changed() { changed_ = true; }
    // Takes the screen of fb when one is due at t_us; the device had played `played`.
    void look(std::uint64_t t_us, const emu::Framebuffer& fb, std::uint64_t played);
    // The newest screen taken whose sound has been heard (shown_by reached its played),
    // or nullptr when there is no new one. The screen stays valid until the next call.
    Screen* due(std::uint64_t shown_by);
    // What the device had played when the screen due() returned was taken.
    std::uint64_t played_of_due() const { return shown_played_; }
    // The last screen taken, or nullptr (at the end, when the sound will not come).
    Screen* last();

private:
    struct Taken {
        std::uint64_t played;
        Screen screen;
    };
    bool changed_ = true;
    std::uint64_t last_look_us_ = 0;
    bool looked_ = false;
    std::deque<Taken> taken_;    // oldest first
    std::vector<Screen> spare_;  // to take again
    Screen shown_;
    std::uint64_t shown_played_ = 0;
};

}  // namespace play
