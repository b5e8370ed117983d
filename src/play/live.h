// The live window and its sound: the emulated screen at twice its size without
// blurring, and the receiver's AC-3 frames, decoded, through the sound card.
//
// Everything about the box happens on the show's own thread (the show is
// single-threaded and the box calls its observer from inside box calls). Two helpers
// run beside it and touch nothing of the box: the window's thread, which draws the
// copies of the screen it is handed and collects the viewer's stop requests, and the
// sound card's callback, which takes sound from the queue and counts what it took.
#pragma once

#include <SDL.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "play/screen.h"
#include "play/stream_clock.h"

namespace play {

class LiveWindow {
public:
    enum class Input { None, Stop };

    LiveWindow() = default;
    ~LiveWindow();
    LiveWindow(const LiveWindow&) = delete;
    LiveWindow& operator=(const LiveWindow&) = delete;

    bool open(std::string& why);
    // Draws screen and shows it.
    void show(const Screen& screen);
    // What the renderer makes of the last screen shown: 0xRRGGBB per pixel of the
    // window's drawing area (twice the screen's size in a window), row by row.
    std::vector<std::uint32_t> read_back(int& width, int& height);
    // Handles the window's events: Escape and closing the window ask to stop, F
    // toggles full screen.
    Input pump();

private:
    void draw();
    bool full_screen() const;

    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    std::vector<std::uint32_t> rgb_ = std::vector<std::uint32_t>(Screen::kWidth * Screen::kHeight);
};

// A LiveWindow on a thread of its own. Drawing and showing a screen take a while
// (tens of milliseconds under a software renderer), time in which the show's thread
// must go on feeding the sound device; handing over a copy of the screen does not.
class WindowThread {
public:
    WindowThread() = default;
    ~WindowThread();
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    // Starts the thread and waits until it has opened the window (false, with why).
    bool open(std::string& why);
    // Has screen drawn next (a newer screen replaces one not drawn yet); screen is
    // left holding an older one, for the caller to fill again.
    void show(Screen& screen);
    // The viewer asked to stop (Escape, closing the window) since the last call.
    bool stop_requested() { return stop_requested_.load(std::memory_order_relaxed) && stop_requested_.exchange(false); }

private:
    void run();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    Screen next_;          // guarded by mutex_
    bool fresh_ = false;   // next_ not drawn yet; guarded by mutex_
    bool quit_ = false;    // guarded by mutex_
    bool opened_ = false;  // the window is open; guarded by mutex_
    std::string failure_;  // why it did not open; guarded by mutex_
    std::atomic<bool> stop_requested_{false};
};

// The sound card, fed with decoded sound, timed by a StreamClock: counts are in sample
// frames at Ac3Decoder::kRate.
//
// The card wants its sound well before it is heard: a buffer's worth in its hands and
// the next buffer at each pull. The emulated device therefore plays ahead of the ear
// by kLead frames: what it has played is what the card will need next.
class LiveSound {
public:
    // The card's buffer: 4096 frames, 85 ms. A desktop's sound server asks for more
    // when its buffer falls low; with a buffer of 21 ms a busy machine (a compiler
    // beside the show) makes SDL's thread miss that moment every few seconds, and at
    // 80 ms it was seen not to. A power of two, as some of SDL's drivers want.
    static constexpr std::uint16_t kBufferFrames = 4096;
    // Two buffers and 20 ms for the jitter of the card's thread.
    static constexpr std::uint32_t kLead = 2 * kBufferFrames + 960;
    // heard() is a lower bound: it takes the card to hold a whole buffer when it asks
    // for the next. Measured with PulseAudio (a null sink), the sound as heard was 27 ms
    // ahead of that bound in most runs, quiet or busy, and 5 ms behind it in others. A
    // picture is shown by the middle of that range: when heard() is 11 ms short of its
    // sound.
    static constexpr std::uint32_t kShowAhead = 528;

    LiveSound() = default;
    ~LiveSound();
    LiveSound(const LiveSound&) = delete;
    LiveSound& operator=(const LiveSound&) = delete;

    bool open(std::string& why);
    // Interleaved stereo sound for the end of the queue.
    void add(const float* samples, std::size_t frames);
    // Silence, so that the current stream lasts as long as the `taken` bytes the device
    // took at device_rate, `coming` frames of whose sound are still to be added.
    void pad_stream(std::uint64_t taken, std::uint32_t device_rate, std::uint64_t coming);
    // Drops everything not heard yet (the device was reset).
    void discard();
    // The clock of what the card has played and heard.
    StreamClock& clock() { return *clock_; }
    // Times the sound as heard broke off in the middle: the card asked for sound the
    // queue did not have yet, or the card itself ran dry.
    std::uint64_t underruns() { return clock_->starved() + clock_->dry_spells(); }

private:
    static void pull(void* self, Uint8* out, int len);

    SDL_AudioDeviceID device_ = 0;
    std::unique_ptr<StreamClock> clock_;  // made when the device is open
    std::deque<float> queue_;             // guarded by the device lock
};
}  // namespace play
