#include "box/emu/iec61937.h"

#include <algorithm>

namespace emu {
namespace {

constexpr std::uint8_t kPreamble[4] = {0x72, 0xF8, 0x1F, 0x4E};
constexpr unsigned kBitRates[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};

constexpr std::uint64_t kResyncUs = 100;

}  // namespace

std::size_t Iec61937Receiver::ac3_frame_length(unsigned fscod, unsigned frmsizecod) {
    if (fscod > 2 || frmsizecod > 37) return 0;
    unsigned kbps = kBitRates[frmsizecod >> 1];
    // A frame carries 1536 samples: bytes = kbit/s * 1536 / (8 * rate in kHz).
    switch (fscod) {
    case 0: return kbps * 4;
    case 2: return kbps * 6;
    default: return 2 * (kbps * 1536u * 10u / (441u * 16u) + (frmsizecod & 1));
    }
}

void Iec61937Receiver::reset() {
    pending_.clear();
    base_t_us_ = 0;
    consumed_ = 0;
}

std::uint64_t Iec61937Receiver::time_of(std::size_t pending_offset) const {
    return base_t_us_ + (consumed_ + pending_offset) * 1000000u / rate_bytes_per_s_;
}

void Iec61937Receiver::feed(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    // Times count from a base in whole bytes, so they do not drift; the base moves
    // when the new bytes play clearly later than the ones before them end (the device
    // ran dry in between), not for the writer's rounding of a microsecond or two.
    if (pending_.empty() || t_us > time_of(pending_.size()) + kResyncUs) {
        base_t_us_ = t_us - std::min<std::uint64_t>(t_us, pending_.size() * 1000000u / rate_bytes_per_s_);
        consumed_ = 0;
    }
    pending_.insert(pending_.end(), data, data + len);
    std::size_t pos = 0;
    for (;;) {
        // Bursts start on a 16-bit word; look for the next preamble.
        while (pos + 4 <= pending_.size() && !std::equal(kPreamble, kPreamble + 4, pending_.begin() + long(pos))) pos += 2;
        if (pos + kBurstBytes > pending_.size()) break;
        take_burst(time_of(pos), pending_.data() + pos);
        pos += kBurstBytes;
    }
    pos = std::min(pos, pending_.size());
    consumed_ += pos;
    pending_.erase(pending_.begin(), pending_.begin() + long(pos));
}

void Iec61937Receiver::take_burst(std::uint64_t t_us, const std::uint8_t* burst) {
    bursts++;
    unsigned pc = burst[4] | burst[5] << 8;
    unsigned pd_bits = burst[6] | burst[7] << 8;
    // The payload is carried as 16-bit little-endian words: swap each pair back.
    const std::uint8_t* payload = burst + 8;
    std::size_t capacity = kBurstBytes - 8;
    std::size_t length = 0;
    if ((pc & 0x1F) == 1 && payload[1] == 0x0B && payload[0] == 0x77)
        length = ac3_frame_length(payload[5] >> 6, payload[5] & 0x3F);
    if (length == 0 || length > pd_bits / 8 || length > capacity) {
        bad_bursts++;
        return;
    }
    frame_.resize(length);
    for (std::size_t i = 0; i < length; i++) frame_[i] = payload[i ^ 1];
    frames++;
    if (on_frame) on_frame(t_us, frame_.data(), length);
}

}  // namespace emu
