// The emulated box: control surface for demo-play and the tests.
//
// The show talks to the box through box/box.h; this header is the other side, for the
// programs that host the show. It sets up a fresh box (which devices exist, which
// requests they refuse, virtual or real time), watches what the show does with it
// (an Observer sees every device request, every change of the picture on display and
// every AC-3 frame that comes out of the digital output) and reads its state.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "box/emu/clock.h"
#include "box/emu/console.h"
#include "box/emu/dsp.h"
#include "box/emu/framebuffer.h"

namespace emu {

// Everything a test may ask a device to refuse.
enum class Fault {
    FbMissing,     // "/dev/fb0" cannot be opened
    FbFixedInfo,   // FBIOGET_FSCREENINFO fails
    FbVarInfo,     // FBIOGET_VSCREENINFO fails
    FbModeSet,     // FBIOPUT_VSCREENINFO fails (EINVAL)
    FbOtherMode,   // FBIOPUT_VSCREENINFO succeeds but settles on 800 x 600 x 16
    FbShrinksVirtual, // the mode set holds the virtual height to what the memory holds
                      // (some drivers do; the kernel's vfb refuses with ENOMEM)
    FbPaddedLines, // the mode set settles on lines of 1024 bytes
    FbGetCmap,     // FBIOGETCMAP fails
    FbMap,         // mmap fails
    FbPutCmap,     // FBIOPUTCMAP fails
    DspMissing,    // "/dev/dsp" cannot be opened
    DspFormat,     // SNDCTL_DSP_SETFMT settles on unsigned 8-bit
    DspChannels,   // SNDCTL_DSP_CHANNELS settles on 1 channel
    DspSpeed,      // SNDCTL_DSP_SPEED fails
    TtyMissing,    // "/dev/tty0" cannot be opened
};

class Observer {
public:
    virtual ~Observer() = default;
    // Every device request that changes or hands over something, as one JSON object
    // (without its time, which comes as t_us). Polls of the clock and of the output
    // delay are not reported: they are what the show does while it waits.
    virtual void request(std::uint64_t /*t_us*/, const std::string& /*json*/) {}
    // The picture on display changed (a pan or a new colour map).
    virtual void display_changed(std::uint64_t /*t_us*/) {}
    // An AC-3 frame taken out of the digital output; t_us is when it starts to play.
    virtual void ac3_frame(std::uint64_t /*t_us*/, const std::uint8_t* /*data*/, std::size_t /*len*/) {}
    // The sound device: a stream opened, its buffer discarded by a reset; every byte
    // written to it as the write starts, and the end of that write.
    virtual void dsp_opened(std::uint64_t /*t_us*/) {}
    virtual void dsp_reset(std::uint64_t /*t_us*/) {}
    virtual void dsp_write(std::uint64_t /*t_us*/, const std::uint8_t* /*data*/, std::size_t /*len*/) {}
    virtual void dsp_written(std::uint64_t /*t_us*/) {}
    // The show sleeps for us microseconds from t_us.
    virtual void sleep(std::uint64_t /*t_us*/, std::uint32_t /*us*/) {}
    // Called at the start of every box call, before the call does anything.
    virtual void box_call() {}
};

struct Config {
    std::string root;               // directory holding the box's file tree
    ClockMode clock = ClockMode::Virtual;
    std::uint32_t poll_us = 50;     // virtual time one poll of the clock or output delay takes
    std::uint32_t pan_cost_us = 20000;  // the box shows at most one new page per this many µs
    std::uint32_t fb_memory = 640 * 2880;  // the framebuffer's memory (smem_len) in bytes
    double dsp_rate_error = 0.0;    // the sound device reports rate * (1 + this)
    std::uint32_t dsp_fragment = 0;  // fragment size the sound driver insists on; 0: grants what is asked
    bool cursor_shown = false;      // the console shows its cursor from boot and after a reset
    std::set<Fault> faults;
    bool has(Fault f) const { return faults.count(f) != 0; }
};

class Box {
public:
    explicit Box(const Config& config);

    Config config;
    Clock clock;
    Framebuffer fb;
    Dsp dsp;
    Console console;
    Observer* observer = nullptr;

    // Sends a trace line to the observer, if any.
    void trace(const std::string& json);
    // A stop request (the viewer closed the window) is delivered at the next box call.
    void request_stop(int signal) { pending_stop = signal; }
    int pending_stop = 0;
};

// Replaces the box with a fresh one built from config and returns it.
Box& reset(const Config& config = Config());
// The current box; a default one is made on first use.
Box& box();

}  // namespace emu
