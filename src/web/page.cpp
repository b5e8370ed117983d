// The show in a web page: the emulated box's screen on a canvas, the AC-3 frames of its
// digital output decoded and played through Web Audio, and the page kept responsive
// while the show busy-waits on the time of day.
//
// The show runs on the page's own thread, built with Asyncify. From inside the box
// calls (the observer's hook at the start of each) the page unwinds the show's stack,
// lets the browser run for a moment (draw, take input, hear from the audio worklet)
// and winds it back. The box's sleeps (the show's own, the sound device's waits, the
// moment a busy-wait on the clock gives away) go to the browser the same way, on a
// timer: emscripten's own sleep spins on the clock, and a page's thread that never goes
// idle (spinning, or only passing turns of its event loop) leaves Firefox too little of
// the processor to paint and to hand on the worklet's messages. The other way, the show
// in a worker, would busy-wait there without ever hearing the worklet's counts or the
// viewer's requests, unless the two shared memory; a SharedArrayBuffer needs
// cross-origin isolation headers, which a plain static file server does not send.
//
// Two runs: live (the box's real clock; its sound device drains by the StreamClock of
// the audio worklet's pulls, as demo-play's live window drains by its sound card's)
// and check (virtual time as in demo-play --fast; at chosen frames the page
// reports a digest of the screen and of every byte written to the sound device so far).
// page.js is the other half: it owns the canvas, the AudioContext and the buttons.
#include <emscripten.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "box/emu/emu.h"
#include "play/ac3decoder.h"
#include "play/options.h"
#include "play/run.h"
#include "play/screen.h"
#include "play/stream_clock.h"
#include "play/timeline.h"
#include "show/ac3audio.h"
#include "show/vidparm.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

// What page.js does for the show (Module.page).
EM_ASYNC_JS(void, page_yield, (int sleep_ms), { await Module.page.yield(sleep_ms); });
EM_JS(double, page_now_ms, (), { return performance.now(); });
EM_JS(void, page_present, (const std::uint32_t* rgb, double played), { Module.page.present(rgb, played); });
EM_JS(void, page_sound, (const float* samples, int frames), { Module.page.sound(samples, frames); });
EM_JS(void, page_sound_discard, (), { Module.page.discard(); });
// The sound output's figures: the frames it holds in front of the loudspeaker, and its
// pulls since the last call (time in ms, frames, frames of sound; up to max of them).
EM_JS(int, page_sound_held, (), { return Module.page.held(); });
EM_JS(int, page_sound_pulls, (double* out, int max), {
    const pulls = Module.page.pulls;
    const n = Math.min(pulls.length, 3 * max);
    HEAPF64.set(pulls.slice(0, n), out >> 3);
    pulls.splice(0, n);
    return n / 3;
});
EM_JS(void, page_progress, (const char* section, int done, int total, double show_s, double frames, double underruns,
                            double gap_ms, double output_underruns),
      { Module.page.progress(UTF8ToString(section), done, total, show_s, frames, underruns, gap_ms, output_underruns); });
EM_JS(void, page_checkpoint, (const char* label, const char* screen, double dsp_bytes, const char* dsp),
      { Module.page.checkpoint(UTF8ToString(label), UTF8ToString(screen), dsp_bytes, UTF8ToString(dsp)); });
EM_JS(void, page_summary, (double dsp_bytes, const char* dsp), { Module.page.summary(dsp_bytes, UTF8ToString(dsp)); });

namespace {

constexpr char kBoxRoot[] = "/box";
// The show gives the browser a turn this often (the sound device holds at least 64 ms),
constexpr double kLiveSliceMs = 8;
// and in a check run, which has no sound to keep fed, this often.
constexpr double kCheckSliceMs = 50;
// A browser's thread stalls now and then (a collection, a busy machine) for longer than
// the sound device holds: the worklet holds this much sound more than the output does.
// (The page's thread went without a turn for up to 450 ms in Firefox and 560 ms in
// Chromium in live runs beside a busy process on a loaded two-core machine.) The device
// plays this far ahead of what is heard, so the show runs ahead of the ear by this, and
// each screen waits as long for its sound.
constexpr std::uint32_t kReserveFrames = 600 * play::Ac3Decoder::kRate / 1000;

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// SHA-256 over bytes fed a piece at a time, readable at any point.
class Digest {
public:
    Digest() : sha_(av_sha_alloc()) { av_sha_init(sha_.get(), 256); }
    void add(const std::uint8_t* data, std::size_t len) { av_sha_update(sha_.get(), data, len); }
    // The digest of everything added so far; more may be added after.
    std::string text() const {
        std::unique_ptr<AVSHA, Free> copy(av_sha_alloc());
        std::memcpy(copy.get(), sha_.get(), std::size_t(av_sha_size));
        std::uint8_t out[32];
        av_sha_final(copy.get(), out);
        return hex(out, sizeof out);
    }

private:
    struct Free {
        void operator()(AVSHA* p) const { av_free(p); }
    };
    std::unique_ptr<AVSHA, Free> sha_;
};

class Page final : public play::Run {
public:
    explicit Page(const play::Options& options) : Run(options), live_(!options.fast) {
        emu::Config config;
        config.root = kBoxRoot;
        config.clock = live_ ? emu::ClockMode::Real : emu::ClockMode::Virtual;
        new_box(config);
        if (live_) box_->clock.sleeper = [this](std::uint64_t us) { rest(us); };
        // Without sound (the viewer chose to play without), the device drains by the
        // box's clock and each screen is shown at once.
        if (int held = live_ ? page_sound_held() : -1; held >= 0) {
            clock_ = std::make_unique<play::StreamClock>(play::StreamClock::Output{
                play::Ac3Decoder::kRate, std::uint32_t(held), std::uint32_t(held) + kReserveFrames, 0});
            box_->dsp.played_bytes_source = [this] { return played_bytes(); };
        }
        lengths_ = play::soundtrack_lengths(std::string(kBoxRoot) + DEMO_DATA_PATH).value_or(play::SoundtrackLengths());
        last_yield_ = page_now_ms();
    }

    // The show has returned: the last progress, and everything written to the sound
    // device. (A show that ends itself with exit ends the module; the page has its last
    // progress then.)
    void finish() {
        // The sound still on its way plays out, and its screens with it.
        for (double end = page_now_ms() + 1000; clock_ && page_now_ms() < end;) {
            take_pulls();
            if (clock_->done(now_us())) break;
            show_due();
            page_yield(1);
        }
        report_progress();
        box_->clock.sleeper = nullptr;
        box_->observer = nullptr;
        box_->dsp.played_bytes_source = nullptr;
        page_summary(double(dsp_bytes_), dsp_digest_.text().c_str());
    }

    void display_changed(std::uint64_t) override { screens_.changed(); }

    void dsp_opened(std::uint64_t t_us) override {
        Run::dsp_opened(t_us);
        if (clock_) clock_->new_stream();
    }

    void dsp_reset(std::uint64_t) override {
        if (!clock_) return;
        page_sound_discard();
        take_pulls();
        clock_->discard(now_us());
    }

    void dsp_write(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        dsp_digest_.add(data, len);
        dsp_bytes_ += len;
    }

    void dsp_written(std::uint64_t) override {
        if (!clock_) return;
        if (std::uint64_t frames = clock_->silence_due(box_->dsp.taken(), box_->dsp.rate(), decoder_.held())) {
            silence_.assign(2 * frames, 0.0f);
            add_sound(silence_);
        }
    }

    void ac3_frame(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        if (!clock_) return;
        pcm_.clear();
        if (decoder_.decode(data, len, pcm_)) add_sound(pcm_);
    }

    void box_call() override {
        take_checkpoints();
        double now = page_now_ms();
        if (live_) present();
        if (now - last_yield_ >= (live_ ? kLiveSliceMs : kCheckSliceMs)) give_browser_a_turn(now);
    }

private:
    static std::uint64_t now_us() { return std::uint64_t(page_now_ms() * 1000); }

    void add_sound(const std::vector<float>& samples) {
        page_sound(samples.data(), int(samples.size() / 2));
        clock_->added(now_us(), samples.size() / 2);
    }

    // The worklet's pulls, as they came to the page, to the clock.
    void take_pulls() {
        double pulls[3 * 64];
        while (int n = page_sound_pulls(pulls, 64)) {
            for (int i = 0; i < n; i++) {
                auto frames = std::uint32_t(pulls[3 * i + 1]), sound = std::uint32_t(pulls[3 * i + 2]);
                clock_->pulled(std::uint64_t(pulls[3 * i] * 1000), frames, sound);
            }
        }
    }

    std::uint64_t played_bytes() {
        take_pulls();
        return clock_->played_bytes(now_us(), box_->dsp);
    }

    // Where the show is, and how its sound device and the sound output have been fed.
    void report_progress() {
        const Progress p = progress(lengths_);
        const emu::Dsp& dsp = box_->dsp;
        page_progress(play::section_name(soundtrack_, fcount), int(p.done), int(p.total), double(now()) / 1e6,
                      double(dsp.receiver.frames), double(dsp.underruns), double(dsp.longest_feed_gap_us) / 1000.0,
                      clock_ ? double(clock_->starved()) : 0.0);
    }

    // A show that sleeps gives the browser a timer's turn; one that works only lets it
    // look at its events.
    void give_browser_a_turn(double now, int sleep_ms = 0) {
        report_progress();
        page_yield(sleep_ms);
        last_yield_ = now;
        if (stop_requested) box_->request_stop(SIGINT);
        stop_requested = false;
    }

    // The box sleeps, on the browser's timers, for at least us.
    void rest(std::uint64_t us) {
        const double until = page_now_ms() + double(us) / 1000;
        for (double now = page_now_ms(); now < until; now = page_now_ms())
            give_browser_a_turn(now, int(std::ceil(until - now)));
    }

    // Takes the screen when it is due, and shows the newest whose sound has been heard.
    void present() {
        std::uint64_t now = now_us();
        if (clock_) take_pulls();
        screens_.look(now, box_->fb, clock_ ? clock_->played(now) : 0);
        show_due();
    }
    void show_due() {
        if (play::Screen* screen = screens_.due(clock_ ? clock_->shown_by(now_us()) : 0)) {
            // The canvas's bytes are R, G, B, 255 a pixel (WebAssembly is little-endian).
            play::to_rgb32(*screen, rgba_.data(), {0, 8, 16, 0xFF000000u});
            page_present(rgba_.data(), double(screens_.played_of_due()));
        }
    }

    // A screenshot of demo-play, as digests: taken at the first box call at which its
    // soundtrack has reached its frame.
    void take_checkpoints() {
        for (const play::Shot& shot : due_shots()) {
            play::take_screen(box_->fb, screen_);
            Digest screen;
            screen.add(screen_.pixels.data(), screen_.pixels.size());
            screen.add(screen_.palette.data(), screen_.palette.size());
            page_checkpoint(shot.path.c_str(), screen.text().c_str(), double(dsp_bytes_), dsp_digest_.text().c_str());
        }
    }

public:
    bool stop_requested = false;

private:
    const bool live_;
    play::SoundtrackLengths lengths_;  // all 0 when the data file cannot be read
    std::uint64_t dsp_bytes_ = 0;
    Digest dsp_digest_;

    std::unique_ptr<play::StreamClock> clock_;  // a live run's
    play::Ac3Decoder decoder_;
    std::vector<float> pcm_, silence_;

    play::LiveScreens screens_;
    double last_yield_ = 0;
    play::Screen screen_;
    std::vector<std::uint32_t> rgba_ = std::vector<std::uint32_t>(play::Screen::kWidth * play::Screen::kHeight);
};

Page* page = nullptr;

}  // namespace

extern "C" {

// Runs the show once with demo-play's command line (newline-separated): "--fast" for a
// check run, "--shot [prelude:]N:LABEL" for each checkpoint, and the start section.
// Returns the show's exit status; 64 for a command line that does not parse or a second
// run. The show's own exits (exit 2, 5, 12, a stop) end the module; page.js hears of
// them.
EMSCRIPTEN_KEEPALIVE int page_run(const char* command_line) {
    std::vector<std::string> args = {"demo-web"};
    for (std::string rest = command_line; !rest.empty();) {
        std::size_t end = rest.find('\n');
        args.push_back(rest.substr(0, end));
        rest = end == std::string::npos ? "" : rest.substr(end + 1);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    play::Options options;
    std::string why;
    if (!play::parse_options(int(argv.size()), argv.data(), options, why)) return play::kExitUsage;
    // The show's state starts at zero once a module: page.js makes a new one for a run.
    if (page != nullptr) return play::kExitUsage;
    av_log_set_level(AV_LOG_ERROR);
    page = new Page(options);
    int status = play::call_show(show_main, argv[0], options);
    page->finish();
    return status;
}

// The viewer asked to stop: the show hears it at its next box call, as a signal.
EMSCRIPTEN_KEEPALIVE void page_stop() {
    if (page != nullptr) page->stop_requested = true;
}
}
