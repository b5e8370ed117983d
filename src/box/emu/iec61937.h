// An IEC 61937 receiver for AC-3, as on the far side of a digital audio output.
//
// It reads the byte stream that the sound device plays as 16-bit little-endian stereo,
// finds each burst by its preamble (Pa = 0xF872, Pb = 0x4E1F), checks the data type
// (Pc = 1, AC-3) and the payload length Pd, and takes out the AC-3 frame, whose length
// it reads from the frame's own header. Bytes between bursts are padding and ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace emu {

class Iec61937Receiver {
public:
    static constexpr std::size_t kBurstBytes = 6144;  // 1536 samples of 16-bit stereo

    // AC-3 frame length in bytes from the header fields, or 0 for an invalid code.
    static std::size_t ac3_frame_length(unsigned fscod, unsigned frmsizecod);

    // Bytes as written to the device; t_us is when the first of them plays.
    void feed(std::uint64_t t_us, const std::uint8_t* data, std::size_t len);
    void reset();
    void set_rate(std::uint32_t sample_rate) { rate_bytes_per_s_ = sample_rate * 4; }
    // Bytes fed but not taken yet (the start of a burst still coming).
    std::size_t pending() const { return pending_.size(); }

    std::function<void(std::uint64_t t_us, const std::uint8_t* frame, std::size_t len)> on_frame;
    std::uint64_t bursts = 0;
    std::uint64_t frames = 0;
    std::uint64_t bad_bursts = 0;  // preamble found but the burst is not a valid AC-3 burst

private:
    void take_burst(std::uint64_t t_us, const std::uint8_t* burst);

    std::vector<std::uint8_t> pending_;   // bytes not yet consumed
    std::uint64_t time_of(std::size_t pending_offset) const;
    std::uint64_t base_t_us_ = 0;         // play time of the first byte counted in consumed_
    std::uint64_t consumed_ = 0;          // bytes taken off pending_ since the base
    std::vector<std::uint8_t> frame_;
    std::uint32_t rate_bytes_per_s_ = 48000 * 4;
};

}  // namespace emu
