#include "play/session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "box/emu/emu.h"
#include "play/ac3decoder.h"
#include "play/capture_thread.h"
#include "play/live.h"
#include "play/records.h"
#include "play/screen.h"
#include "play/sheet.h"
#include "play/timeline.h"
#include "show/ac3audio.h"
#include "show/exit_status.h"
#include "show/vidparm.h"

extern "C" {
#include <libavutil/log.h>
}

namespace play {
namespace {

using RealClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a capture looks at the screen between display changes, for drawing
// straight into the page on display (the prelude, the console), in emulated time.
constexpr std::uint64_t kLookEveryUs = 5000;
constexpr auto kProgressEvery = milliseconds(250);

// Minutes and seconds to a tenth, rounded as a whole: 59.96 s is 1:00.0, not 0:60.0.
std::string clock_text(std::uint64_t us) {
    const std::uint64_t tenths = (us + 50000) / 100000;
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u.%u", unsigned(tenths / 600), unsigned(tenths % 600 / 10), unsigned(tenths % 10));
    return text;
}

class Session final : public RecordedRun {
public:
    explicit Session(const Options& options) : RecordedRun(options, "demo-play") {}

    bool start(std::string& why);

    void display_changed(std::uint64_t t_us) override;
    void ac3_frame(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) override;
    void dsp_opened(std::uint64_t t_us) override;
    void dsp_reset(std::uint64_t t_us) override;
    void dsp_write(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) override;
    void dsp_written(std::uint64_t t_us) override;
    void box_call() override;

private:
    int finish(int status) override;
    const char* section() const { return section_name(soundtrack_, fcount); }
    // How long an AC-3 frame (1536 sample frames) plays at the device's rate.
    std::uint64_t ac3_frame_us() const { return 1536 * std::uint64_t(1000000) / std::max(box_->dsp.rate(), 1u); }
    void live_step();
    void release_pictures();
    void show_progress();
    std::string summary(int status) const;

    bool live_ = false;
    Screen scratch_;

    std::unique_ptr<Ac3Decoder> decoder_;  // for the sound of a capture or a live run
    std::vector<float> pcm_;
    std::uint64_t undecodable_ = 0;

    std::unique_ptr<CaptureThread> capture_;
    std::unique_ptr<PictureTimeline> timeline_;
    std::uint64_t next_look_us_ = 0;
    std::uint64_t sound_end_us_ = 0;
    std::unique_ptr<ContactSheet> sheet_;
    bool capture_made_ = false, sheet_made_ = false;

    std::unique_ptr<WindowThread> window_;
    std::unique_ptr<LiveSound> sound_;
    LiveScreens screens_;
    std::optional<std::uint64_t> output_underruns_;

    bool progress_ = false;
    std::optional<SoundtrackLengths> lengths_;
    RealClock::time_point started_{}, last_progress_{};
    unsigned calls_ = 0;

    std::uint32_t main_frames_ = 0;  // the furthest frame of the main soundtrack reached
};

bool Session::start(std::string& why) {
    // demo-play says what went wrong itself; the libraries' chatter stays out of the way.
    av_log_set_level(AV_LOG_ERROR);
    // Where a run without a window captures to: the working directory, by its name
    // when it has one (it may have been removed).
    std::error_code no_name;
    const std::filesystem::path cwd = std::filesystem::current_path(no_name);
    const std::string here = no_name ? std::string(".") : cwd.string();
    bool instead = fall_back_to_capture(options_, here);
    if (instead)
        std::fprintf(stderr, "demo-play: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): capturing to %s and %s instead\n",
                     options_.capture.c_str(), options_.sheet.c_str());
    live_ = live_run(options_);
    if (live_) {
        window_ = std::make_unique<WindowThread>();
        if (!window_->open(why)) {
            window_.reset();
            capture_instead(options_, here);
            instead = true;
            live_ = false;
            std::fprintf(stderr, "demo-play: no window (%s): capturing to %s and %s instead\n", why.c_str(),
                         options_.capture.c_str(), options_.sheet.c_str());
        }
    }

    // A capture made in place of the window has names of its own, which an output
    // asked for may already have.
    if (std::string clash; instead && !outputs_apart(options_, clash)) {
        why = "cannot capture to " + options_.capture + " instead: " + clash;
        return false;
    }
    if (!options_.capture.empty()) {
        capture_ = std::make_unique<CaptureThread>();
        if (!capture_->open({options_.capture, options_.scale, options_.fps}, why)) {
            why = options_.capture + ": " + why;
            return false;
        }
        timeline_ = std::make_unique<PictureTimeline>([this](std::uint64_t t, std::shared_ptr<const Screen> screen) { capture_->picture(t, std::move(screen)); });
    }
    if (live_ || (capture_ && capture_->wants_pcm())) {
        decoder_ = std::make_unique<Ac3Decoder>();
        if (!decoder_->ok(why)) return false;
    }
    if (!options_.sheet.empty()) sheet_ = std::make_unique<ContactSheet>();
    // Last: nothing can fail once the records are open.
    if (!open_records(why)) return false;

    emu::Config config;
    config.clock = live_ ? emu::ClockMode::Real : emu::ClockMode::Virtual;
    start_box(config);

    if (live_) {
        sound_ = std::make_unique<LiveSound>();
        std::string sound_why;
        if (sound_->open(sound_why)) {
            box_->dsp.played_bytes_source = [this] { return sound_->clock().played_bytes(steady_now_us(), box_->dsp); };
        } else {
            std::fprintf(stderr, "demo-play: no sound (%s)\n", sound_why.c_str());
            sound_.reset();
        }
    }
    if (timeline_) timeline_->look(0, box_->fb);

    progress_ = !live_ && (capture_ || sheet_) && isatty(STDERR_FILENO);
    if (progress_) lengths_ = soundtrack_lengths(box_->config.root + PLAY_DATA_PATH);
    started_ = last_progress_ = RealClock::now();
    return true;
}

void Session::dsp_opened(std::uint64_t t_us) {
    RecordedRun::dsp_opened(t_us);
    if (sound_) sound_->clock().new_stream();
}

void Session::dsp_reset(std::uint64_t t_us) {
    if (sound_) sound_->discard();
    // What the device held is never heard: the show's sound stops here, unless more
    // comes (in the master, with the end of the frame that was playing).
    if (capture_) {
        capture_->sound_dropped_from(t_us - t0_);
        sound_end_us_ = std::min(sound_end_us_, t_us - t0_ + (capture_->wants_pcm() ? 0 : ac3_frame_us()));
    }
}

void Session::dsp_written(std::uint64_t t_us) {
    RecordedRun::dsp_written(t_us);
    if (sound_) sound_->pad_stream(box_->dsp.taken(), box_->dsp.rate(), decoder_->held());
}

void Session::display_changed(std::uint64_t t_us) {
    if (timeline_) timeline_->look(t_us - t0_, box_->fb);
    screens_.changed();
}

void Session::ac3_frame(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    if (capture_) {
        // A burst takes as long to play as its frame.
        sound_end_us_ = std::max(sound_end_us_, t_us - t0_ + ac3_frame_us());
        if (!capture_->wants_pcm()) capture_->ac3(t_us - t0_, data, len);
    }
    if (!decoder_) return;
    pcm_.clear();
    if (!decoder_->decode(data, len, pcm_)) {
        undecodable_++;
        return;
    }
    std::size_t frames = pcm_.size() / 2;
    if (capture_) capture_->sound(t_us - t0_, pcm_.data(), frames);
    if (sound_) sound_->add(pcm_.data(), frames);
}

void Session::dsp_write(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    RecordedRun::dsp_write(t_us, data, len);
    // Nothing written from now on plays before now, and what plays already stays.
    if (capture_) capture_->sound_final(t_us - t0_);
}

void Session::box_call() {
    std::uint64_t t = now();
    if (soundtrack_ == Soundtrack::Main) main_frames_ = std::max(main_frames_, fcount);
    RecordedRun::box_call();
    if (sheet_ && sheet_->due(t)) {
        take_screen(box_->fb, scratch_);
        sheet_->add(t, section(), scratch_);
    }
    if (timeline_ && t >= next_look_us_) {
        timeline_->look(t, box_->fb);
        next_look_us_ = t + kLookEveryUs;
    }
    if (window_) live_step();
    if (progress_ && ++calls_ % 1024 == 0) show_progress();
}

void Session::live_step() {
    // The show's stop handler takes the request at the next box call; a second request
    // while the first still waits means the show has none.
    if (window_->stop_requested()) {
        if (box_->pending_stop != 0) {
            std::fprintf(stderr, "demo-play: the show does not stop; ending it\n");
            std::exit(exit_status_of_signal(SIGINT));
        }
        box_->request_stop(SIGINT);
    }
    std::uint64_t now = steady_now_us();
    screens_.look(now, box_->fb, sound_ ? sound_->clock().played(now) : 0);
    release_pictures();
}

void Session::release_pictures() {
    if (Screen* screen = screens_.due(sound_ ? sound_->clock().shown_by(steady_now_us()) : 0)) window_->show(*screen);
}

void Session::show_progress() {
    RealClock::time_point real = RealClock::now();
    if (real - last_progress_ < kProgressEvery) return;
    last_progress_ = real;
    double spent = std::chrono::duration<double>(real - started_).count();
    double speed = spent > 0 ? double(now()) / 1e6 / spent : 0.0;
    std::string bar;
    if (lengths_) {
        Progress p = progress(*lengths_);
        unsigned percent = unsigned(std::min<std::uint64_t>(std::uint64_t(p.done) * 100 / std::max<std::uint32_t>(p.total, 1), 100));
        bar.append("[").append(percent / 5, '#').append(20 - percent / 5, '.').append("] ").append(std::to_string(percent)).append("%  ");
    }
    std::fprintf(stderr, "\r%s%-10s frame %5u  %s  %.1fx real time  ", bar.c_str(), section(), unsigned(fcount),
                 clock_text(now()).c_str(), speed);
    std::fflush(stderr);
}

std::string Session::summary(int status) const {
    const emu::Dsp& dsp = box_->dsp;
    char text[512];
    // A live run also tells how often the sound as heard broke off.
    std::string underruns = std::to_string(dsp.underruns) + " underruns";
    if (output_underruns_)
        underruns = "underruns: " + std::to_string(dsp.underruns) + " in the box's sound device, " +
                    std::to_string(*output_underruns_) + " in the sound output";
    std::snprintf(text, sizeof text, "demo-play: %llu frames sent, %s, longest feed gap %.1f ms, exit status %d",
                  static_cast<unsigned long long>(dsp.receiver.frames), underruns.c_str(),
                  double(dsp.longest_feed_gap_us) / 1000.0, status);
    std::string line = text;
    if (dsp.receiver.bad_bursts > 0) line += ", " + std::to_string(dsp.receiver.bad_bursts) + " bad bursts";
    if (undecodable_ > 0) line += ", " + std::to_string(undecodable_) + " frames that do not decode";
    if (capture_ && !capture_made_) line += "; " + options_.capture + " not made";
    if (capture_made_) {
        double spent = std::chrono::duration<double>(RealClock::now() - started_).count();
        // The path, of any length, outside the buffer.
        std::snprintf(text, sizeof text, ": %llu pictures, %.1f s of show made in %.1f s (%.1fx real time)",
                      static_cast<unsigned long long>(capture_->pictures()), double(now()) / 1e6, spent,
                      spent > 0 ? double(now()) / 1e6 / spent : 0.0);
        line += "; " + options_.capture + text;
        if (capture_->ac3_left_out() > 0)
            line += ", without sound (no AC-3 frame came with its first " + std::to_string(CaptureWriter::kPicturesBeforeSound) +
                    " pictures; " + std::to_string(capture_->ac3_left_out()) + " came later)";
    }
    if (sheet_) line += "; contact sheet " + options_.sheet + (sheet_made_ ? "" : " not made");
    // A show that ends normally has played its soundtrack to the end.
    if (status == 0 && soundtrack_ == Soundtrack::Main && main_frames_ < kThreedeeEnd)
        line += "\ndemo-play: the soundtrack ended at frame " + std::to_string(main_frames_) + "; the show needs " +
                std::to_string(kThreedeeEnd);
    return line;
}

int Session::finish(int status) {
    std::uint64_t end = now();
    if (progress_) std::fputc('\n', stderr);
    RecordedRun::finish(status);
    if (capture_) {
        timeline_->finish();
        std::string why;
        // The sound device plays out what it holds after the show has ended.
        capture_made_ = capture_->close(std::max(end, sound_end_us_), why);
        if (!capture_made_) fail(options_.capture + ": " + why);
    }
    if (sheet_) {
        std::string why;
        sheet_made_ = sheet_->write(options_.sheet, why);
        if (!sheet_made_) fail(why);
    }
    if (sound_) {
        // The sound still on its way plays out, and its pictures with it.
        for (int waited = 0; waited < 1000 && !sound_->clock().done(steady_now_us()); waited += 5) {
            release_pictures();
            std::this_thread::sleep_for(milliseconds(5));
        }
        output_underruns_ = sound_->underruns();
    }
    if (Screen* last = screens_.last(); window_ && last != nullptr) window_->show(*last);
    box_->dsp.played_bytes_source = nullptr;
    sound_.reset();
    window_.reset();
    std::printf("%s\n", summary(status).c_str());
    std::fflush(stdout);
    return status_to_end_with(status);
}

}  // namespace

int run(const Options& options, ShowMain show, const char* program) {
    RecordedRun::catch_stop_signals();
    // The session outlives this call when the show exits from inside it.
    auto* session = new Session(options);
    std::string why;
    if (!session->start(why)) {
        std::fprintf(stderr, "demo-play: %s\n", why.c_str());
        delete session;
        return RecordedRun::refused_status();
    }
    int status = session->run(show, program);
    delete session;
    return status;
}

}  // namespace play
