#include "play/stream_clock.h"

#include "box/emu/dsp.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace play {

std::uint64_t steady_now_us() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void StreamClock::pulled(std::uint64_t t_us, std::uint32_t frames, std::uint32_t sound) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Short in the middle of a stream: a break in the sound if more of it comes.
        if (sound < frames && given_ + sound > stream_start_) short_ = true;
        given_ += sound;
    }
    heard_.pulled(t_us, frames, sound);
}

void StreamClock::added(std::uint64_t t_us, std::uint64_t frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (short_ && frames > 0) starved_++;
    short_ = cut_ = false;
    if (stream_sound_us_ == 0) stream_sound_us_ = t_us;
    queued_ += frames;
}

void StreamClock::new_stream() {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_start_ = queued_;
    stream_base_ = 0;
    stream_sound_us_ = 0;
    short_ = false;
}

std::uint64_t StreamClock::silence_due(std::uint64_t taken, std::uint32_t device_rate, std::uint64_t coming) {
    std::uint64_t due = taken / 4 * output_.rate / device_rate;
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t have = stream_base_ + queued_ - stream_start_ + coming;
    return due > have ? due - have : 0;
}

void StreamClock::discard(std::uint64_t t_us) {
    // What the device had played, taken before the unheard sound goes: the reset left
    // the device's count there, and what the device plays next counts on from it.
    std::uint64_t was = played(t_us);
    std::uint64_t forgotten = heard_.forget_unheard(t_us);
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t unpulled = queued_ - given_;
    queued_ -= std::min(queued_, unpulled + forgotten);
    given_ -= std::min(given_, forgotten);
    // The rest of the stream starts here, with nothing queued: the device has played
    // all of what is left (a count taken from queued_ less kKept would fall below what
    // it had played, and show it sound it does not hold), and the bytes it takes next
    // are the sound queued next. Silence pulled until then is no break in the stream.
    stream_base_ += std::max(was, stream_start_) - stream_start_;
    stream_start_ = queued_;
    short_ = false;
    cut_ = true;
}

std::uint64_t StreamClock::played(std::uint64_t t_us, bool closing) {
    std::uint64_t ahead = heard_.heard(t_us) + output_.lead;
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t since = stream_sound_us_;
    std::uint64_t ramp = since == 0 ? 0 : (t_us - since) * 2 * output_.rate / 1000000u;
    std::uint64_t given = closing ? queued_ : queued_ > kKept ? queued_ - kKept : 0;
    return std::max(stream_start_, std::min({ahead, stream_start_ + ramp, given}));
}

std::uint64_t StreamClock::played_bytes(std::uint64_t t_us, const emu::Dsp& dsp) {
    std::uint64_t all = played(t_us, dsp.closing());
    std::lock_guard<std::mutex> lock(mutex_);
    // Closing, with all the stream's sound played: so is the rest of what the device
    // holds, bytes that made no sound (the part of a burst the receiver still held, a
    // part of a sample frame at another rate).
    if (dsp.closing() && all >= queued_) return dsp.written();
    return (stream_base_ + all - stream_start_) * dsp.rate() / output_.rate * 4;
}

bool StreamClock::done(std::uint64_t t_us) {
    std::uint64_t heard_now = heard_.heard(t_us);
    std::lock_guard<std::mutex> lock(mutex_);
    return cut_ || heard_now >= queued_;
}

std::uint64_t StreamClock::starved() {
    std::lock_guard<std::mutex> lock(mutex_);
    return starved_;
}

void LiveScreens::look(std::uint64_t t_us, const emu::Framebuffer& fb, std::uint64_t played) {
    std::uint64_t since = t_us - last_look_us_;
    if (looked_ && !(changed_ && since >= kChangedEveryUs) && since < kEveryUs) return;
    looked_ = true;
    last_look_us_ = t_us;
    changed_ = false;
    Taken taken{played, {}};
    if (!spare_.empty()) {
        std::swap(taken.screen, spare_.back());
        spare_.pop_back();
    }
    take_screen(fb, taken.screen);
    taken_.push_back(std::move(taken));
}

Screen* LiveScreens::due(std::uint64_t shown_by) {
    bool any = false;
    while (!taken_.empty() && taken_.front().played <= shown_by) {
        spare_.push_back(std::move(shown_));
        shown_ = std::move(taken_.front().screen);
        shown_played_ = taken_.front().played;
        taken_.pop_front();
        any = true;
    }
    return any ? &shown_ : nullptr;
}

Screen* LiveScreens::last() { return taken_.empty() ? nullptr : &taken_.back().screen; }

}  // namespace play
