#include "play/output_clock.h"

#include <algorithm>

namespace play {
namespace {

// How long a pull bounds what the output has played.
constexpr std::uint64_t kBoundForUs = 1000000;
// A pause shorter than this is not told from the jitter of the output's thread.
constexpr std::uint64_t kPauseUs = 2000;

}  // namespace

std::int64_t OutputClock::bound(std::uint64_t t_us) const {
    std::int64_t best = -1;
    for (std::size_t i = bounds_from_; i < pulls_.size(); i++) {
        const Pull& p = pulls_[i];
        if (t_us > p.t_us + kBoundForUs) continue;
        std::uint64_t since = t_us > p.t_us ? t_us - p.t_us : 0;
        best = std::max(best, std::int64_t(p.first) - std::int64_t(held_) + std::int64_t(since * rate_ / 1000000u));
    }
    return best;
}

std::uint64_t OutputClock::played(std::uint64_t t_us) {
    std::int64_t b = bound(t_us);
    if (b > std::int64_t(played_)) played_ = std::min(std::uint64_t(b), pulled_);
    return played_;
}

void OutputClock::pulled(std::uint64_t t_us, std::uint32_t frames, std::uint32_t sound) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bound(t_us) > std::int64_t(pulled_ + kPauseUs * rate_ / 1000000u)) {
        // It played everything it had and then some: silence, until now.
        const Pull* last = pulls_.empty() ? nullptr : &pulls_.back();
        if (last != nullptr && last->sound > 0 && last->sound == last->frames && sound > 0) dry_spells_++;
        played_ = pulled_;
        bounds_from_ = pulls_.size();
    }
    pulls_.push_back({t_us, pulled_, frames, sound, sound_});
    pulled_ += frames;
    sound_ += sound;
    while (pulls_.size() > 1 && pulls_.front().first + pulls_.front().frames <= played_ &&
           (bounds_from_ > 0 || t_us > pulls_.front().t_us + kBoundForUs)) {
        pulls_.pop_front();
        if (bounds_from_ > 0) bounds_from_--;
    }
}

std::uint64_t OutputClock::heard(std::uint64_t t_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t at = played(t_us);
    for (auto p = pulls_.rbegin(); p != pulls_.rend(); ++p)
        if (p->first <= at) return p->sound_before + std::min<std::uint64_t>(at - p->first, p->sound);
    return pulls_.empty() ? 0 : pulls_.front().sound_before;
}

std::uint64_t OutputClock::forget_unheard(std::uint64_t t_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t at = played(t_us), forgotten = 0;
    for (Pull& p : pulls_) {
        p.sound_before -= forgotten;
        if (p.first + p.frames <= at) continue;
        std::uint32_t kept = at > p.first ? std::uint32_t(std::min<std::uint64_t>(at - p.first, p.sound)) : 0;
        forgotten += p.sound - kept;
        p.sound = kept;
    }
    sound_ -= forgotten;
    return forgotten;
}

std::uint64_t OutputClock::dry_spells() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dry_spells_;
}

}  // namespace play
