// The box's clock: real time, or virtual time that moves only when the show waits.
//
// In virtual time nothing the show computes takes time; time passes when it sleeps,
// when a device makes it wait (a full sound buffer, a page flip) and by a small step on
// every poll (reading the time of day, asking the sound device for its output delay),
// so that a busy-wait always ends. A run is then deterministic and as fast as the
// machine allows.
//
// Real time is the time of day at which the box started, moved on by a steady clock:
// when this machine's clock is set (a time service, a virtual machine resumed), the
// box's devices and its time of day go on without a jump, as a box's own clock does.
//
// In real time a poll that follows another at once is a busy-wait: it gives the
// processor away for a moment (less than the box's timer tick, far less than the
// sound device holds) before it is answered.
#pragma once

#include <cstdint>
#include <functional>

namespace emu {

enum class ClockMode { Virtual, Real };

class Clock {
public:
    // Virtual runs start at this time of day: 2026-01-01 00:00:00 UTC.
    static constexpr std::uint64_t kVirtualEpochUs = 1767225600ull * 1000000ull;

    Clock(ClockMode mode, std::uint32_t poll_us);

    ClockMode mode() const { return mode_; }
    // Microseconds since the epoch, as the time of day.
    std::uint64_t now_us() const;
    void sleep_us(std::uint64_t us);
    void wait_until(std::uint64_t t_us);
    // One poll of a clock-like source: a small step of virtual time.
    void poll();

    // How a real-time clock sleeps: the thread's own sleep, unless this is set (by a
    // thread that has others to serve while the box sleeps, such as a web page's).
    std::function<void(std::uint64_t us)> sleeper;

private:
    std::uint64_t real_now_us() const;

    ClockMode mode_;
    std::uint32_t poll_us_;
    std::uint64_t real_start_us_;    // the time of day when the clock was made
    std::uint64_t steady_start_us_;  // the steady clock then
    std::uint64_t virtual_now_us_ = kVirtualEpochUs;
    std::uint64_t last_poll_us_ = 0;  // real time, when the last poll was answered
};

}  // namespace emu
