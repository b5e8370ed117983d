#include "play/session.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <csignal>
#include <deque>
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
#include "box/signals.h"
#include "play/ac3decoder.h"
#include "play/capture_thread.h"
#include "play/live.h"
#include "play/records.h"
#include "play/screen.h"
#include "play/sheet.h"
#include "play/timeline.h"
#include "show/ac3audio.h"
#include "show/vidparm.h"

extern "C" {
#include <libavutil/log.h>
}

namespace play {
namespace {

// A signal caught by demo-play, waiting to be delivered to the show.
std::atomic<int> caught_signal{0};


using RealClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a capture looks at the screen between display changes, for drawing
// straight into the page on display (the prelude, the console), in emulated time.
constexpr std::uint64_t kLookEveryUs = 5000;
// The live window is handed a changed screen at most this often,
constexpr auto kShowChangedEvery = milliseconds(8);
// and an unchanged-looking screen again this often (drawing straight into the page on
// display makes no display change).
constexpr auto kShowEvery = milliseconds(40);
constexpr auto kProgressEvery = milliseconds(250);

std::string clock_text(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%04.1f", unsigned(us / 60000000), double(us % 60000000) / 1e6);
    return text;
}

class Session final : public emu::Observer {
public:
    explicit Session(const Options& options)
        : options_(options), prelude_(prelude_runs(options.section)), shots_(options.shots) {}

    bool start(std::string& why);
    int finish(int status);

    void request(std::uint64_t t_us, const std::string& json) override;
    void display_changed(std::uint64_t t_us) override;
    void ac3_frame(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) override;
    // Closes and removes the files a run that could not start had opened.
    void discard_outputs();
    void dsp_opened(std::uint64_t t_us) override;
    void dsp_reset(std::uint64_t t_us) override;
    void dsp_write(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) override;
    void dsp_written(std::uint64_t t_us) override;
    void box_call() override;

private:
    std::uint64_t now() const { return box_->clock.now_us() - t0_; }
    const char* section() const { return section_name(soundtrack_, fcount); }
    std::uint64_t played_bytes();
    void take_shots();
    void live_step();
    void release_pictures();
    void show_progress();
    std::string summary(int status) const;
    void fail(const std::string& what) {
        std::fprintf(stderr, "demo-play: %s\n", what.c_str());
        output_failed_ = true;
    }

    Options options_;
    const bool prelude_;
    bool live_ = false;
    emu::Box* box_ = nullptr;
    std::uint64_t t0_ = 0;

    std::FILE* trace_ = nullptr;
    std::FILE* dsp_out_ = nullptr;
    std::vector<Shot> shots_;
    Screen scratch_;

    unsigned streams_ = 0;
    Soundtrack soundtrack_ = Soundtrack::None;
    bool writing_ = false;  // inside a write to the sound device

    std::unique_ptr<Ac3Decoder> decoder_;  // for the sound of a capture or a live run
    std::vector<float> pcm_;
    std::uint64_t undecodable_ = 0;

    std::unique_ptr<CaptureThread> capture_;
    std::unique_ptr<PictureTimeline> timeline_;
    std::uint64_t next_look_us_ = 0;
    std::uint64_t sound_end_us_ = 0;
    std::unique_ptr<ContactSheet> sheet_;

    std::unique_ptr<WindowThread> window_;
    std::unique_ptr<LiveSound> sound_;
    bool dirty_ = true;
    RealClock::time_point last_show_{};
    // Screens waiting for the sound of their moment to be heard: shown when the card
    // has played heard_at frames (what the box's device had played when they were
    // taken).
    struct Delayed {
        std::uint64_t heard_at;
        Screen screen;
    };
    std::deque<Delayed> delayed_;
    std::vector<Screen> spare_screens_;
    std::optional<std::uint64_t> output_underruns_;

    bool progress_ = false;
    std::optional<SoundtrackLengths> lengths_;
    RealClock::time_point started_{}, last_progress_{};
    unsigned calls_ = 0;

    std::uint32_t main_frames_ = 0;  // the furthest frame of the main soundtrack reached

    bool finished_ = false;
    bool output_failed_ = false;
    int final_status_ = 0;
};

void Session::discard_outputs() {
    // A run that never started leaves no empty files behind.
    for (auto [file, path] : {std::pair{&trace_, &options_.trace}, std::pair{&dsp_out_, &options_.dsp_out}}) {
        if (*file == nullptr) continue;
        std::fclose(*file);
        *file = nullptr;
        std::remove(path->c_str());
    }
}

bool Session::start(std::string& why) {
    // demo-play says what went wrong itself; the libraries' chatter stays out of the way.
    av_log_set_level(AV_LOG_ERROR);
    const std::string here = std::filesystem::current_path().string();
    if (fall_back_to_capture(options_, here))
        std::fprintf(stderr, "demo-play: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): capturing to %s and %s instead\n",
                     options_.capture.c_str(), options_.sheet.c_str());
    live_ = live_run(options_);
    if (live_) {
        window_ = std::make_unique<WindowThread>();
        if (!window_->open(why)) {
            window_.reset();
            capture_instead(options_, here);
            live_ = false;
            std::fprintf(stderr, "demo-play: no window (%s): capturing to %s and %s instead\n", why.c_str(),
                         options_.capture.c_str(), options_.sheet.c_str());
        }
    }

    if (!open_records(options_, trace_, dsp_out_, why)) return false;
    if (!options_.capture.empty()) {
        capture_ = std::make_unique<CaptureThread>();
        if (!capture_->open({options_.capture, options_.scale, options_.fps}, why)) {
            why = options_.capture + ": " + why;
            return false;
        }
        timeline_ = std::make_unique<PictureTimeline>([this](std::uint64_t t, const Screen& screen) { capture_->picture(t, screen); });
    }
    if (live_ || (capture_ && capture_->wants_pcm())) {
        decoder_ = std::make_unique<Ac3Decoder>();
        if (!decoder_->ok(why)) return false;
    }
    if (!options_.sheet.empty()) sheet_ = std::make_unique<ContactSheet>();

    emu::Config config;
    config.root = options_.box_root.empty() ? PLAY_BOX_ROOT : options_.box_root;
    config.clock = live_ ? emu::ClockMode::Real : emu::ClockMode::Virtual;
    box_ = &emu::reset(config);
    t0_ = box_->clock.now_us();
    box_->observer = this;
    if (trace_ != nullptr) std::fputs(trace_start_line(t0_).c_str(), trace_);

    if (live_) {
        sound_ = std::make_unique<LiveSound>();
        std::string sound_why;
        if (sound_->open(sound_why)) {
            box_->dsp.played_bytes_source = [this] { return played_bytes(); };
        } else {
            std::fprintf(stderr, "demo-play: no sound (%s)\n", sound_why.c_str());
            sound_.reset();
        }
    }
    if (timeline_) timeline_->look(0, box_->fb);

    progress_ = !live_ && (capture_ || sheet_) && isatty(STDERR_FILENO);
    if (progress_) lengths_ = soundtrack_lengths(config.root + PLAY_DATA_PATH);
    started_ = last_progress_ = RealClock::now();
    return true;
}

// What the sound card has played of the current stream, in the device's bytes (four
// a sample frame at the device's rate).
std::uint64_t Session::played_bytes() {
    return sound_->played_of_stream() * box_->dsp.rate() / Ac3Decoder::kRate * 4;
}

void Session::dsp_opened(std::uint64_t) {
    streams_++;
    soundtrack_ = soundtrack_of_stream(streams_, prelude_);
    if (sound_) sound_->new_stream();
}

void Session::dsp_reset(std::uint64_t) {
    if (sound_) sound_->discard();
}

void Session::dsp_written(std::uint64_t) {
    writing_ = false;
    // Bytes of the write that made no sound (a bad burst, padding) still take their
    // time to play.
    if (sound_) sound_->pad_stream(box_->dsp.taken() / 4 * Ac3Decoder::kRate / box_->dsp.rate());
}

void Session::request(std::uint64_t t_us, const std::string& json) {
    if (trace_ != nullptr) std::fputs(trace_line(t_us - t0_, json, writing_, fcount).c_str(), trace_);
}

void Session::display_changed(std::uint64_t t_us) {
    if (timeline_) timeline_->look(t_us - t0_, box_->fb);
    dirty_ = true;
}

void Session::ac3_frame(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    if (capture_) {
        // A burst takes as long to play as its frame's 1536 sample frames.
        sound_end_us_ = std::max(sound_end_us_, t_us - t0_ + 1536 * std::uint64_t(1000000) / std::max(box_->dsp.rate(), 1u));
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
    if (dsp_out_ != nullptr && std::fwrite(data, 1, len, dsp_out_) != len) {
        std::fclose(dsp_out_);
        dsp_out_ = nullptr;
        fail("cannot write " + options_.dsp_out);
    }
    writing_ = true;
    // Nothing written from now on plays before now.
    if (capture_ && capture_->wants_pcm()) capture_->sound_final(t_us - t0_);
}

void Session::box_call() {
    // A signal to demo-play is a signal to the box: the show stops as it would there,
    // and the files being written are finished on the way out.
    if (int sig = caught_signal.exchange(0)) box_->request_stop(sig);
    std::uint64_t t = now();
    if (soundtrack_ == Soundtrack::Main) main_frames_ = std::max(main_frames_, fcount);
    if (!shots_.empty()) take_shots();
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

void Session::take_shots() {
    for (auto it = shots_.begin(); it != shots_.end();) {
        Soundtrack wanted = it->prelude ? Soundtrack::Prelude : Soundtrack::Main;
        if (soundtrack_ != wanted || fcount < it->frame) {
            ++it;
            continue;
        }
        take_screen(box_->fb, scratch_);
        if (!write_png(it->path, to_picture(scratch_))) fail("cannot write " + it->path);
        it = shots_.erase(it);
    }
}

void Session::live_step() {
    // The show's stop handler takes the request at the next box call; a second request
    // while the first still waits means the show has none.
    if (window_->stop_requested()) {
        if (box_->pending_stop != 0) {
            std::fprintf(stderr, "demo-play: the show does not stop; ending it\n");
            std::exit(128 + SIGINT);
        }
        box_->request_stop(SIGINT);
    }
    RealClock::time_point real = RealClock::now();
    if ((dirty_ && real - last_show_ >= kShowChangedEvery) || real - last_show_ >= kShowEvery) {
        last_show_ = real;
        dirty_ = false;
        Delayed later{sound_ ? sound_->played() : 0, {}};
        if (!spare_screens_.empty()) {
            std::swap(later.screen, spare_screens_.back());
            spare_screens_.pop_back();
        }
        take_screen(box_->fb, later.screen);
        delayed_.push_back(std::move(later));
    }
    release_pictures();
}

void Session::release_pictures() {
    std::uint64_t heard = sound_ ? sound_->heard() + LiveSound::kShowAhead : 0;
    while (!delayed_.empty() && delayed_.front().heard_at <= heard) {
        window_->show(delayed_.front().screen);
        spare_screens_.push_back(std::move(delayed_.front().screen));
        delayed_.pop_front();
    }
}

void Session::show_progress() {
    RealClock::time_point real = RealClock::now();
    if (real - last_progress_ < kProgressEvery) return;
    last_progress_ = real;
    double spent = std::chrono::duration<double>(real - started_).count();
    double speed = spent > 0 ? double(now()) / 1e6 / spent : 0.0;
    std::string bar;
    if (lengths_) {
        std::uint64_t before = prelude_ ? lengths_->prelude : 0;
        std::uint64_t done = soundtrack_ == Soundtrack::Main ? before + fcount : soundtrack_ == Soundtrack::Prelude ? fcount : 0;
        std::uint64_t total = std::max<std::uint64_t>(before + lengths_->main, 1);
        unsigned percent = unsigned(std::min<std::uint64_t>(done * 100 / total, 100));
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
    if (capture_) {
        double spent = std::chrono::duration<double>(RealClock::now() - started_).count();
        std::snprintf(text, sizeof text, "; %s: %llu pictures, %.1f s of show made in %.1f s (%.1fx real time)",
                      options_.capture.c_str(), static_cast<unsigned long long>(capture_->pictures()), double(now()) / 1e6,
                      spent, spent > 0 ? double(now()) / 1e6 / spent : 0.0);
        line += text;
    }
    if (sheet_) line += "; contact sheet " + options_.sheet;
    // A show that ends normally has played its soundtrack to the end.
    if (status == 0 && soundtrack_ == Soundtrack::Main && main_frames_ < kThreedeeEnd)
        line += "\ndemo-play: the soundtrack ended at frame " + std::to_string(main_frames_) + "; the show needs " +
                std::to_string(kThreedeeEnd);
    return line;
}

int Session::finish(int status) {
    if (finished_) return final_status_;
    finished_ = true;
    std::uint64_t end = now();
    if (progress_) std::fputc('\n', stderr);
    if (trace_ != nullptr) {
        std::fputs(trace_exit_line(end, status).c_str(), trace_);
        if (std::fclose(trace_) != 0) fail("cannot write " + options_.trace);
        trace_ = nullptr;
    }
    if (dsp_out_ != nullptr && std::fclose(dsp_out_) != 0) fail("cannot write " + options_.dsp_out);
    dsp_out_ = nullptr;
    for (const Shot& shot : shots_)
        std::fprintf(stderr, "demo-play: no shot %s%u (%s): the %s soundtrack never reached that frame\n",
                     shot.prelude ? "prelude:" : "", unsigned(shot.frame), shot.path.c_str(), shot.prelude ? "prelude's" : "main");
    if (capture_) {
        timeline_->finish();
        std::string why;
        // The sound device plays out what it holds after the show has ended.
        if (!capture_->close(std::max(end, sound_end_us_), why)) fail(options_.capture + ": " + why);
    }
    if (sheet_) {
        std::string why;
        if (!sheet_->write(options_.sheet, why)) fail(why);
    }
    if (sound_) {
        // The sound still on its way plays out, and its pictures with it.
        for (int waited = 0; waited < 1000 && !sound_->done(); waited += 5) {
            release_pictures();
            std::this_thread::sleep_for(milliseconds(5));
        }
        output_underruns_ = sound_->underruns();
    }
    if (window_ && !delayed_.empty()) window_->show(delayed_.back().screen);
    box_->observer = nullptr;
    box_->dsp.played_bytes_source = nullptr;
    sound_.reset();
    window_.reset();
    final_status_ = output_failed_ && status == 0 ? kExitCannotWrite : status;
    std::printf("%s\n", summary(status).c_str());
    std::fflush(stdout);
    return final_status_;
}

Session* active = nullptr;

// The show may end the program itself (exit 2, 5, 12, or its stop handler): the
// records are finished on the way out.
void note_signal(int sig) { caught_signal = sig; }

void finish_on_exit(int status, void*) {
    if (active == nullptr) return;
    int final_status = active->finish(status);
    active = nullptr;
    if (final_status != status) {
        std::fflush(nullptr);
        _exit(final_status);
    }
}

}  // namespace

int run(const Options& options, ShowMain show, const char* program) {
    static bool registered = false;
    if (!registered) on_exit(finish_on_exit, nullptr);
    registered = true;

    struct sigaction sa {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    // A signal ignored when demo-play started stays ignored, as on the box (nohup).
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (!box::signal_ignored(sig)) sigaction(sig, &sa, nullptr);

    // The session outlives this call when the show exits from inside it.
    auto* session = new Session(options);
    std::string why;
    if (!session->start(why)) {
        std::fprintf(stderr, "demo-play: %s\n", why.c_str());
        session->discard_outputs();
        delete session;
        return kExitCannotWrite;
    }
    active = session;
    std::vector<std::string> args = {program};
    if (options.section) args.push_back(*options.section);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int status = show(int(args.size()), argv.data());
    active = nullptr;
    status = session->finish(status);
    delete session;
    return status;
}

}  // namespace play
