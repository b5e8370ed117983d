// The show in a web page: the emulated box's screen on a canvas, the AC-3 frames of its
// digital output decoded and played through Web Audio, and the page kept responsive
// while the show busy-waits on the time of day.
//
// The show runs on the page's own thread, built with Asyncify. From inside the box
// calls (the observer's hook at the start of each) the page unwinds the show's stack,
// lets the browser run for a moment (draw, take input, hear from the audio worklet)
// and winds it back. The other way, the show in a worker, would busy-wait there without
// ever hearing the worklet's counts or the viewer's requests, unless the two shared
// memory; a SharedArrayBuffer needs cross-origin isolation headers, which a plain static
// file server does not send.
//
// Two runs: live (the box's real clock; its sound device drains at the rate the audio
// worklet takes the decoded sound, as demo-play's live window drains at the sound
// card's rate) and check (virtual time as in demo-play --fast; at chosen frames the page
// reports a digest of the screen and of every byte written to the sound device so far).
// page.js is the other half: it owns the canvas, the AudioContext and the buttons.
#include <emscripten.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "box/emu/emu.h"
#include "play/ac3decoder.h"
#include "play/options.h"
#include "play/run.h"
#include "play/screen.h"
#include "play/timeline.h"
#include "show/ac3audio.h"
#include "show/vidparm.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

// What page.js does for the show (Module.page).
EM_ASYNC_JS(void, page_yield, (int sleep), { await Module.page.yield(sleep); });
EM_JS(double, page_now_ms, (), { return performance.now(); });
EM_JS(void, page_present, (const std::uint32_t* rgb), { Module.page.present(rgb); });
EM_JS(void, page_sound, (const float* samples, int frames), { Module.page.sound(samples, frames); });
EM_JS(void, page_sound_stream, (), { Module.page.stream(); });
EM_JS(void, page_sound_discard, (), { Module.page.discard(); });
EM_JS(double, page_sound_played, (), { return Module.page.played(); });
EM_JS(void, page_progress, (const char* section, int done, int total, double show_s, double frames, double underruns,
                            double gap_ms),
      { Module.page.progress(UTF8ToString(section), done, total, show_s, frames, underruns, gap_ms); });
EM_JS(void, page_checkpoint, (const char* label, const char* screen, double dsp_bytes, const char* dsp),
      { Module.page.checkpoint(UTF8ToString(label), UTF8ToString(screen), dsp_bytes, UTF8ToString(dsp)); });
EM_JS(void, page_summary, (double dsp_bytes, const char* dsp), { Module.page.summary(dsp_bytes, UTF8ToString(dsp)); });

namespace {

constexpr char kBoxRoot[] = "/box";
// The show gives the browser a turn this often (the sound device holds at least 64 ms),
constexpr double kLiveSliceMs = 8;
// and in a check run, which has no sound to keep fed, this often.
constexpr double kCheckSliceMs = 50;
// A live show sleeps for a moment as soon as it has polled this many times in a row
// (box calls with nothing to show for them: the clock, the output delay): it waits.
constexpr unsigned kBusyPolls = 16;
// A live screen goes to the canvas at most this often when it changed, and this often
// anyway (drawing straight into the page on display changes nothing the box reports).
constexpr double kPresentChangedMs = 8;
constexpr double kPresentMs = 40;
// A browser's thread stalls now and then (a collection, a busy machine) for longer than
// the sound device holds: the worklet holds this much sound more. The device drains as
// if it had played it already, so the show runs this far ahead of what is heard, and
// the canvas shows each screen this much later.
constexpr double kReserveMs = 400;
constexpr std::uint64_t kReserveFrames = std::uint64_t(kReserveMs * play::Ac3Decoder::kRate / 1000);
// Until the worklet holds the reserve, the device keeps this much of what it was given
// (a fragment): it never looks empty while its stream plays.
constexpr std::uint64_t kKeptFrames = 1024;

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
        if (live_) box_->dsp.played_bytes_source = [this] { return played_bytes(); };
        lengths_ = play::soundtrack_lengths(std::string(kBoxRoot) + DEMO_DATA_PATH).value_or(play::SoundtrackLengths());
        last_yield_ = last_present_ = page_now_ms();
    }

    // The show has returned: the last progress, and everything written to the sound
    // device. (A show that ends itself with exit ends the module; the page has its last
    // progress then.)
    void finish() {
        report_progress();
        box_->observer = nullptr;
        box_->dsp.played_bytes_source = nullptr;
        page_summary(double(dsp_bytes_), dsp_digest_.text().c_str());
    }

    void display_changed(std::uint64_t) override {
        dirty_ = true;
        polls_ = 0;
    }
    void request(std::uint64_t, const std::string& json) override {
        polls_ = 0;
        // The close waits until the device has played out: the reserve goes too.
        if (json.rfind(R"({"req":"close","dev":"/dev/dsp")", 0) == 0) closing_ = true;
    }

    void dsp_opened(std::uint64_t t_us) override {
        Run::dsp_opened(t_us);
        stream_start_ = queued_;
        closing_ = false;
        if (live_) page_sound_stream();
    }

    void dsp_reset(std::uint64_t) override {
        if (!live_) return;
        page_sound_discard();
        queued_ = std::uint64_t(page_sound_played());
    }

    void dsp_write(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        dsp_digest_.add(data, len);
        dsp_bytes_ += len;
    }

    void dsp_written(std::uint64_t) override {
        if (!live_) return;
        // Bytes that made no sound (a bad burst, padding) still take their time to play.
        const emu::Dsp& dsp = box_->dsp;
        std::uint64_t due = dsp.taken() / 4 * play::Ac3Decoder::kRate / dsp.rate();
        if (queued_ - stream_start_ < due) {
            silence_.assign(2 * (due - (queued_ - stream_start_)), 0.0f);
            add_sound(silence_);
        }
    }

    void ac3_frame(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        if (!live_) return;
        pcm_.clear();
        if (decoder_.decode(data, len, pcm_)) add_sound(pcm_);
    }

    void box_call() override {
        take_checkpoints();
        double now = page_now_ms();
        if (live_) present(now);
        bool waiting = live_ && ++polls_ >= kBusyPolls;
        if (waiting || now - last_yield_ >= (live_ ? kLiveSliceMs : kCheckSliceMs)) give_browser_a_turn(now, waiting);
    }

private:
    void add_sound(const std::vector<float>& samples) {
        page_sound(samples.data(), int(samples.size() / 2));
        queued_ += samples.size() / 2;
    }

    // What the worklet has played of the current stream, in the device's bytes (four a
    // sample frame at the device's rate).
    std::uint64_t played_bytes() {
        // The device's own waits (a full buffer, the close) go on inside one box call.
        double now = page_now_ms();
        if (now - last_yield_ >= kLiveSliceMs) give_browser_a_turn(now, true);
        std::uint64_t kept = closing_ ? 0 : kKeptFrames;
        std::uint64_t ahead = std::uint64_t(page_sound_played()) + kReserveFrames;
        std::uint64_t played = std::min(ahead, queued_ > kept ? queued_ - kept : 0);
        std::uint64_t of_stream = played > stream_start_ ? played - stream_start_ : 0;
        return of_stream * box_->dsp.rate() / play::Ac3Decoder::kRate * 4;
    }

    // Where the show is, and how its sound device has been fed.
    void report_progress() {
        const Progress p = progress(lengths_);
        const emu::Dsp& dsp = box_->dsp;
        page_progress(play::section_name(soundtrack_, fcount), int(p.done), int(p.total), double(now()) / 1e6,
                      double(dsp.receiver.frames), double(dsp.underruns), double(dsp.longest_feed_gap_us) / 1000.0);
    }

    // A show that waits sleeps for a moment (a timer's turn); one that works only lets
    // the browser look at its events.
    void give_browser_a_turn(double now, bool sleep = false) {
        report_progress();
        page_yield(sleep ? 1 : 0);
        last_yield_ = now;
        polls_ = 0;
        if (stop_requested) box_->request_stop(SIGINT);
        stop_requested = false;
    }

    // Takes the screen when it is due, and shows those taken kReserveMs ago.
    void present(double now) {
        if ((dirty_ && now - last_present_ >= kPresentChangedMs) || now - last_present_ >= kPresentMs) {
            last_present_ = now;
            dirty_ = false;
            play::Screen screen;
            if (!spare_.empty()) {
                screen = std::move(spare_.back());
                spare_.pop_back();
            }
            play::take_screen(box_->fb, screen);
            taken_.push_back({now, std::move(screen)});
        }
        bool due = false;
        while (!taken_.empty() && now - taken_.front().first >= kReserveMs) {
            spare_.push_back(std::move(shown_));
            shown_ = std::move(taken_.front().second);
            taken_.pop_front();
            due = true;
        }
        if (!due) return;
        play::to_rgb32(shown_, rgb_.data());
        page_present(rgb_.data());
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

    play::Ac3Decoder decoder_;
    std::vector<float> pcm_, silence_;
    std::uint64_t queued_ = 0;        // sample frames handed to the worklet, less those discarded
    std::uint64_t stream_start_ = 0;  // queued_ when the current stream began

    bool closing_ = false;            // the device is closing
    bool dirty_ = true;
    std::deque<std::pair<double, play::Screen>> taken_;  // screens to show, oldest first
    std::vector<play::Screen> spare_;  // screens to take again
    play::Screen shown_;
    unsigned polls_ = 0;  // box calls since the last one that did something
    double last_yield_ = 0, last_present_ = 0;
    play::Screen screen_;
    std::vector<std::uint32_t> rgb_ = std::vector<std::uint32_t>(play::Screen::kWidth * play::Screen::kHeight);
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
