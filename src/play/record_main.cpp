// demo-record: the show on the emulated box in virtual time, recording what
// `demo-play --fast` records (the trace, the sound device's bytes, screenshots) in the
// same form, without demo-play's window and video libraries. Builds that have none of
// those (the box builds) run the whole show with it, under the emulator.
#include <cstdio>
#include <string>

#include "play/options.h"
#include "play/records.h"
#include "show/vidparm.h"

namespace {

class Recorder final : public play::RecordedRun {
public:
    explicit Recorder(const play::Options& options) : RecordedRun(options, "demo-record") {}

private:
    // The records closed, a summary.
    int finish(int status) override {
        const int final_status = RecordedRun::finish(status);
        const emu::Dsp& dsp = box_->dsp;
        std::printf("demo-record: %llu frames sent, %llu underruns, exit status %d%s\n",
                    static_cast<unsigned long long>(dsp.receiver.frames), static_cast<unsigned long long>(dsp.underruns),
                    status, output_failed_ ? ", records incomplete" : "");
        std::fflush(stdout);
        return final_status;
    }
};

}  // namespace

int main(int argc, char** argv) {
    play::Options options;
    std::string why;
    const char* const usage =
        "usage: demo-record [--trace FILE] [--dsp-out FILE] [--shot [prelude:]N:FILE.png]... [--box DIR] [SECTION]\n"
        "Plays the show on an emulated box in virtual time and records it as demo-play --fast does.\n";
    const bool parsed = play::parse_options(argc, argv, options, why);
    if (!parsed || !options.capture.empty() || !options.sheet.empty() || options.scale != 1 || options.fps != 0) {
        std::fprintf(stderr, "demo-record: %s\n%s", parsed ? "no video or contact sheet here" : why.c_str(), usage);
        return play::kExitUsage;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    play::RecordedRun::catch_stop_signals();
    Recorder recorder(options);
    if (!recorder.open_records(why)) {
        std::fprintf(stderr, "demo-record: %s\n", why.c_str());
        return play::RecordedRun::refused_status();
    }
    recorder.start_box(emu::Config());
    return recorder.run(show_main, argv[0]);
}
