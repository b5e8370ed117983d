// demo-record: the show on the emulated box in virtual time, recording what
// `demo-play --fast` records (the trace, the sound device's bytes, screenshots) in the
// same form, without demo-play's window and video libraries. Builds that have none of
// those (the box builds) run the whole show with it, under the emulator.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "box/emu/emu.h"
#include "play/options.h"
#include "play/records.h"
#include "play/screen.h"
#include "play/timeline.h"
#include "show/ac3audio.h"
#include "show/vidparm.h"

namespace {

class Recorder final : public emu::Observer {
public:
    explicit Recorder(const play::Options& options)
        : options_(options), prelude_(play::prelude_runs(options.section)), shots_(options.shots) {}

    bool start(std::string& why) {
        if (!play::open_records(options_, trace_, dsp_out_, why)) return false;
        emu::Config config;
        config.root = options_.box_root.empty() ? PLAY_BOX_ROOT : options_.box_root;
        box_ = &emu::reset(config);
        t0_ = box_->clock.now_us();
        box_->observer = this;
        if (trace_ != nullptr) std::fputs(play::trace_start_line(t0_).c_str(), trace_);
        return true;
    }

    // Closes the records and prints the summary; the exit status to end with.
    int finish(int status) {
        box_->observer = nullptr;
        bool failed = false;
        if (trace_ != nullptr) {
            std::fputs(play::trace_exit_line(box_->clock.now_us() - t0_, status).c_str(), trace_);
            failed |= std::fclose(trace_) != 0;
        }
        if (dsp_out_ != nullptr) failed |= std::fclose(dsp_out_) != 0;
        for (const play::Shot& shot : shots_) {
            std::fprintf(stderr, "demo-record: no shot %s%u (%s)\n", shot.prelude ? "prelude:" : "", unsigned(shot.frame),
                         shot.path.c_str());
        }
        failed |= failed_;
        const emu::Dsp& dsp = box_->dsp;
        std::printf("demo-record: %llu frames sent, %llu underruns, exit status %d%s\n",
                    static_cast<unsigned long long>(dsp.receiver.frames), static_cast<unsigned long long>(dsp.underruns),
                    status, failed ? ", records incomplete" : "");
        std::fflush(stdout);
        return failed && status == 0 ? play::kExitCannotWrite : status;
    }

    void request(std::uint64_t t_us, const std::string& json) override {
        if (trace_ != nullptr) std::fputs(play::trace_line(t_us - t0_, json, writing_, fcount).c_str(), trace_);
    }
    void dsp_opened(std::uint64_t) override { soundtrack_ = play::soundtrack_of_stream(++streams_, prelude_); }
    void dsp_write(std::uint64_t, const std::uint8_t* data, std::size_t len) override {
        writing_ = true;
        if (dsp_out_ != nullptr) failed_ |= std::fwrite(data, 1, len, dsp_out_) != len;
    }
    void dsp_written(std::uint64_t) override { writing_ = false; }
    void box_call() override {
        for (const play::Shot& shot : play::due_shots(shots_, soundtrack_, fcount)) {
            play::take_screen(box_->fb, screen_);
            failed_ |= !write_png(shot.path, play::to_picture(screen_));
        }
    }

private:
    const play::Options options_;
    const bool prelude_;
    std::vector<play::Shot> shots_;
    emu::Box* box_ = nullptr;
    std::uint64_t t0_ = 0;
    std::FILE* trace_ = nullptr;
    std::FILE* dsp_out_ = nullptr;
    unsigned streams_ = 0;
    play::Soundtrack soundtrack_ = play::Soundtrack::None;
    bool writing_ = false;
    bool failed_ = false;
    play::Screen screen_;
};

Recorder* active = nullptr;

// The show may end the program itself (exit 2, 5 or 12): the records are finished on
// the way out.
void finish_on_exit(int status, void*) {
    if (active == nullptr) return;
    const int final_status = active->finish(status);
    active = nullptr;
    if (final_status != status) _exit(final_status);
}

}  // namespace

int main(int argc, char** argv) {
    play::Options options;
    std::string why;
    const char* const usage =
        "usage: demo-record [--trace FILE] [--dsp-out FILE] [--shot [prelude:]N:FILE.png]... [--box DIR] [SECTION]\n"
        "Plays the show on an emulated box in virtual time and records it as demo-play --fast does.\n";
    const bool parsed = play::parse_options(argc, argv, options, why);
    if (!parsed || !options.capture.empty() || !options.sheet.empty()) {
        std::fprintf(stderr, "demo-record: %s\n%s", parsed ? "no video or contact sheet here" : why.c_str(), usage);
        return play::kExitUsage;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    Recorder recorder(options);
    if (!recorder.start(why)) {
        std::fprintf(stderr, "demo-record: %s\n", why.c_str());
        return play::kExitCannotWrite;
    }
    active = &recorder;
    on_exit(finish_on_exit, nullptr);
    std::vector<std::string> args = {argv[0]};
    if (options.section) args.push_back(*options.section);
    std::vector<char*> show_argv;
    for (std::string& arg : args) show_argv.push_back(arg.data());
    show_argv.push_back(nullptr);
    const int status = show_main(int(args.size()), show_argv.data());
    active = nullptr;
    return recorder.finish(status);
}
