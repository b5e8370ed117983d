#include "box/emu/clock.h"

#include <chrono>
#include <thread>

namespace emu {
namespace {

std::uint64_t microseconds_of(std::chrono::nanoseconds since_epoch) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
}

std::uint64_t steady_us() { return microseconds_of(std::chrono::steady_clock::now().time_since_epoch()); }

// Polls closer together than this are a busy-wait; each then waits this long.
constexpr std::uint64_t kBusyWithinUs = 200;
constexpr std::uint64_t kYieldUs = 1000;

}  // namespace

Clock::Clock(ClockMode mode, std::uint32_t poll_us)
    : mode_(mode),
      poll_us_(poll_us),
      real_start_us_(microseconds_of(std::chrono::system_clock::now().time_since_epoch())),
      steady_start_us_(steady_us()) {}

std::uint64_t Clock::real_now_us() const { return real_start_us_ + (steady_us() - steady_start_us_); }

std::uint64_t Clock::now_us() const { return mode_ == ClockMode::Virtual ? virtual_now_us_ : real_now_us(); }

void Clock::sleep_us(std::uint64_t us) {
    if (mode_ == ClockMode::Virtual)
        virtual_now_us_ += us;
    else if (sleeper)
        sleeper(us);
    else
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void Clock::wait_until(std::uint64_t t_us) {
    std::uint64_t now = now_us();
    if (t_us > now) sleep_us(t_us - now);
}

void Clock::poll() {
    if (mode_ == ClockMode::Virtual) {
        virtual_now_us_ += poll_us_;
        return;
    }
    std::uint64_t now = real_now_us();
    if (now - last_poll_us_ < kBusyWithinUs) {
        sleep_us(kYieldUs);
        now = real_now_us();
    }
    last_poll_us_ = now;
}

}  // namespace emu
