#include "box/emu/dsp.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <sys/soundcard.h>

#include "box/emu/emu.h"

namespace emu {

Dsp::Dsp(Box& box) : box_(box) {
    receiver.on_frame = [this](std::uint64_t t, const std::uint8_t* data, std::size_t len) {
        if (box_.observer) box_.observer->ac3_frame(t, data, len);
    };
}

int Dsp::open() {
    if (box_.config.has(Fault::DspMissing)) {
        errno = ENOENT;
        return -1;
    }
    if (open_) {
        errno = EBUSY;
        return -1;
    }
    open_ = true;
    closing_ = false;
    format_ = AFMT_U8;
    channels_ = 1;
    rate_ = 8000;
    fragment_ = box_.config.dsp_fragment != 0 ? box_.config.dsp_fragment : 4096;
    fragment_asked_ = false;
    held_.clear();
    written_ = played_ = drain_base_ = 0;
    drain_from_us_ = box_.clock.now_us();
    ran_dry_ = false;
    streaming_ = false;
    last_attended_us_ = drain_from_us_;
    receiver.reset();
    box_.trace(R"({"req":"open","dev":"/dev/dsp"})");
    if (box_.observer) box_.observer->dsp_opened(box_.clock.now_us());
    return 0;
}

std::uint64_t Dsp::capacity() const {
    // Whole fragments, at least two of them.
    return std::uint64_t(std::max<std::uint32_t>(2, kBufferBytes / fragment_)) * fragment_;
}

std::uint64_t Dsp::played_by_clock() const {
    std::uint64_t frames = (box_.clock.now_us() - drain_from_us_) * rate_ / 1000000u;
    return drain_base_ + frames * 4u;
}

void Dsp::drain() {
    std::uint64_t played = played_bytes_source ? played_bytes_source() : played_by_clock();
    if (played >= written_) {
        played = written_;
        if (streaming_) ran_dry_ = true;
        // Nothing plays while the buffer is empty: the next byte starts from now.
        drain_from_us_ = box_.clock.now_us();
        drain_base_ = written_;
    }
    played_ = played;
}

void Dsp::attended() {
    std::uint64_t now = box_.clock.now_us();
    if (streaming_) longest_feed_gap_us = std::max(longest_feed_gap_us, now - last_attended_us_);
    last_attended_us_ = now;
}

std::uint32_t Dsp::queued() {
    if (!open_) return 0;
    drain();
    return std::uint32_t(written_ - played_);
}

int Dsp::ioctl(unsigned long request, void* arg) {
    int* value = static_cast<int*>(arg);
    switch (request) {
    case SNDCTL_DSP_SETFMT:
        // AFMT_QUERY only asks for the format in use.
        if (*value != AFMT_QUERY) format_ = box_.config.has(Fault::DspFormat) ? AFMT_U8 : *value;
        *value = format_;
        box_.trace(R"({"req":"SNDCTL_DSP_SETFMT","value":)" + std::to_string(*value) + "}");
        return 0;
    case SNDCTL_DSP_CHANNELS:
        // The OSS layer reads the count as unsigned and refuses more than 128.
        if (unsigned(*value) > 128) {
            errno = EINVAL;
            return -1;
        }
        channels_ = box_.config.has(Fault::DspChannels) ? 1 : std::clamp(*value, 1, 2);
        *value = channels_;
        box_.trace(R"({"req":"SNDCTL_DSP_CHANNELS","value":)" + std::to_string(*value) + "}");
        return 0;
    case SNDCTL_DSP_SETFRAGMENT:
        // The size asked for is 2 to the power of the low 16 bits; a driver with sizes of
        // its own grants those instead. As with the kernel's OSS layer, it is asked for
        // once per open, and a size past 2^24 is refused.
        if (fragment_asked_ || (*value & 0xFFFF) >= 25) {
            errno = EINVAL;
            return -1;
        }
        fragment_asked_ = true;
        if (box_.config.dsp_fragment == 0 && held_.empty() && written_ == 0)
            fragment_ = 1u << std::clamp(*value & 0xFFFF, 4, 15);
        box_.trace(R"({"req":"SNDCTL_DSP_SETFRAGMENT","value":)" + std::to_string(*value) + R"(,"granted":)" +
                   std::to_string(fragment_) + "}");
        return 0;
    case SNDCTL_DSP_GETBLKSIZE:
        *value = int(fragment_);
        return 0;
    case SNDCTL_DSP_POST:
        // Starts a stream that has not started yet: the device here plays from the first
        // whole fragment anyway. Like the kernel's, it does not send a partial fragment on.
        box_.trace(R"({"req":"SNDCTL_DSP_POST","held":)" + std::to_string(held_.size()) + "}");
        return 0;
    case SNDCTL_DSP_SPEED:
        if (box_.config.has(Fault::DspSpeed)) {
            errno = EINVAL;
            return -1;
        }
        // Like a driver, the rate is held to what the hardware can do.
        drain();
        rate_ = std::uint32_t(std::clamp(*value, 4000, 192000) * (1.0 + box_.config.dsp_rate_error));
        *value = int(rate_);
        receiver.set_rate(rate_);
        drain_from_us_ = box_.clock.now_us();
        drain_base_ = played_;
        box_.trace(R"({"req":"SNDCTL_DSP_SPEED","value":)" + std::to_string(*value) + "}");
        return 0;
    case SNDCTL_DSP_GETODELAY:
        box_.clock.poll();
        attended();
        *value = int(queued());
        return 0;
    case SNDCTL_DSP_RESET:
        drain();
        held_.clear();
        written_ = played_;
        drain_base_ = played_;
        drain_from_us_ = box_.clock.now_us();
        ran_dry_ = false;
        streaming_ = false;
        receiver.reset();
        box_.trace(R"({"req":"SNDCTL_DSP_RESET"})");
        if (box_.observer) box_.observer->dsp_reset(box_.clock.now_us());
        return 0;
    default:
        errno = EINVAL;
        return -1;
    }
}

void Dsp::wait_for_room(std::uint64_t bytes) {
    for (;;) {
        drain();
        std::uint64_t room = capacity() - (written_ - played_);
        if (room >= bytes) return;
        // Block until the card has played enough.
        if (played_bytes_source) {
            box_.clock.sleep_us(1000);
        } else {
            std::uint64_t frames = (bytes - room + 3) / 4;
            box_.clock.wait_until(drain_from_us_ + ((played_ - drain_base_) / 4 + frames) * 1000000u / rate_ + 1);
        }
    }
}

// Hands the held bytes to the device, behind what it holds already.
void Dsp::commit() {
    wait_for_room(held_.size());
    if (ran_dry_) {
        underruns++;
        ran_dry_ = false;
    }
    std::uint64_t delay_us = (written_ - played_) / 4 * 1000000u / rate_;
    receiver.feed(box_.clock.now_us() + delay_us, held_.data(), held_.size());
    written_ += held_.size();
    held_.clear();
    streaming_ = true;
}

long Dsp::write(const void* buf, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(buf);
    if (interrupt_write && count > 0) {
        count = std::min(count, interrupt_write(count));
        if (count == 0) {
            box_.trace(R"({"req":"write","dev":"/dev/dsp","interrupted":true})");
            errno = EINTR;
            return -1;
        }
    }
    if (box_.observer) box_.observer->dsp_write(box_.clock.now_us(), bytes, count);
    for (std::size_t done = 0; done < count;) {
        std::size_t n = std::min<std::size_t>(count - done, fragment_ - held_.size());
        held_.insert(held_.end(), bytes + done, bytes + done + n);
        done += n;
        if (held_.size() == fragment_) commit();
    }
    attended();
    writes++;
    box_.trace(R"({"req":"write","dev":"/dev/dsp","bytes":)" + std::to_string(count) + "}");
    if (box_.observer) box_.observer->dsp_written(box_.clock.now_us());
    return long(count);
}

int Dsp::close() {
    // The held-back partial fragment goes to the device at the close, filled up with
    // silence to a whole fragment as the kernel's OSS layer does, then the close waits
    // until the buffered bytes have played out.
    if (!held_.empty()) {
        held_.resize(fragment_, 0);
        commit();
    }
    closing_ = true;
    box_.trace(R"({"req":"close","dev":"/dev/dsp","queued":)" + std::to_string(queued()) + "}");
    for (int waits = 0; queued() > 0 && waits < 1000; waits++) {
        if (played_bytes_source)
            box_.clock.sleep_us(1000);
        else
            box_.clock.wait_until(drain_from_us_ + (written_ - drain_base_) / 4 * 1000000u / rate_ + 1);
    }
    open_ = false;
    return 0;
}

}  // namespace emu
