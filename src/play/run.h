// One run of the show on a fresh emulated box, as the players host it (demo-play,
// demo-record, the web page): the show's command line, which soundtrack plays, the
// screenshots that fall due, how far through the show it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "box/emu/emu.h"
#include "play/options.h"
#include "play/timeline.h"

namespace play {

using ShowMain = int (*)(int argc, char** argv);

// Calls show with the program's name and the start section of options, if any.
int call_show(ShowMain show, const char* program, const Options& options);

// Watches the box of a run from its side.
class Run : public emu::Observer {
public:
    explicit Run(const Options& options);
    void dsp_opened(std::uint64_t t_us) override;

protected:
    // Replaces the box with a fresh one made of config and watches it from now on.
    emu::Box& new_box(const emu::Config& config);
    // Emulated time since the box was made.
    std::uint64_t now() const { return box_->clock.now_us() - t0_; }
    // The shots due at this box call, in order.
    std::vector<Shot> due_shots();
    // Frames of the soundtracks played so far, and in all: the prelude's count first when
    // it plays.
    struct Progress {
        std::uint32_t done, total;
    };
    Progress progress(const SoundtrackLengths& lengths) const;

    Options options_;
    const bool prelude_;
    std::vector<Shot> shots_;  // those still to take
    emu::Box* box_ = nullptr;
    std::uint64_t t0_ = 0;
    Soundtrack soundtrack_ = Soundtrack::None;

private:
    unsigned streams_ = 0;
};

}  // namespace play
