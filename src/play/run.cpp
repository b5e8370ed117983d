#include "play/run.h"

#include "show/ac3audio.h"

namespace play {

int call_show(ShowMain show, const char* program, const Options& options) {
    std::vector<std::string> args = {program};
    if (options.section) args.push_back(*options.section);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return show(int(args.size()), argv.data());
}

Run::Run(const Options& options) : options_(options), prelude_(prelude_runs(options.section)), shots_(options.shots) {}

emu::Box& Run::new_box(const emu::Config& config) {
    box_ = &emu::reset(config);
    t0_ = box_->clock.now_us();
    box_->observer = this;
    return *box_;
}

void Run::dsp_opened(std::uint64_t) { soundtrack_ = soundtrack_of_stream(++streams_, prelude_); }

std::vector<Shot> Run::due_shots() { return play::due_shots(shots_, soundtrack_, fcount); }

Run::Progress Run::progress(const SoundtrackLengths& lengths) const {
    std::uint32_t before = prelude_ ? lengths.prelude : 0;
    std::uint32_t done = soundtrack_ == Soundtrack::Main ? before + fcount : soundtrack_ == Soundtrack::Prelude ? fcount : 0;
    return {done, before + lengths.main};
}

}  // namespace play
