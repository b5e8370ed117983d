// The emulated OSS sound device "/dev/dsp" with a digital output.
//
// As with the kernel's OSS layer, the device takes written bytes a whole fragment at a
// time: a partly filled fragment is held back (it does not play and is not counted in
// the output delay) until it fills or the device is closed (which fills it up with
// silence). The driver decides the fragment size; it may grant the one asked for or
// insist on its own (Config). Whole fragments go into a buffer of about 64 KiB that
// drains at the negotiated rate (4 bytes a sample frame) against the box's clock; a
// fragment that does not fit blocks the write until it does. Behind the buffer sits an
// IEC 61937 receiver that takes the AC-3 frames out. The device counts underruns: times
// the buffer ran dry while a stream was being fed, seen at the next fragment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "box/emu/iec61937.h"

namespace emu {

class Box;

class Dsp {
public:
    static constexpr std::uint32_t kBufferBytes = 65536;

    explicit Dsp(Box& box);

    int open();
    int ioctl(unsigned long request, void* arg);
    long write(const void* buf, std::size_t count);
    int close();

    bool is_open() const { return open_; }
    // In close, waiting for the buffered bytes to play out.
    bool closing() const { return closing_; }
    std::uint32_t rate() const { return rate_; }
    std::uint32_t fragment() const { return fragment_; }
    // Bytes handed to the device but not yet played, at the current time (what the
    // output delay reports: a held-back partial fragment is not counted).
    std::uint32_t queued();
    // Bytes of a partly filled fragment, held back.
    std::size_t held() const { return held_.size(); }
    // Bytes of the current stream the device has taken in and its receiver has read;
    // what it holds back, and a burst not read whole yet, may still turn out to be
    // sound. After a reset, counted from what had played.
    std::uint64_t taken() const { return written_ - receiver.pending(); }
    // The bytes of the current stream handed to the device.
    std::uint64_t written() const { return written_; }

    // In a live run the sound card says how much it has played; without this hook the
    // buffer drains at the negotiated rate on the box's clock.
    std::function<std::uint64_t()> played_bytes_source;
    // A signal that the show lives through (a stop and continue of the process, one it
    // ignores or handles and returns from) ends a blocking write early, as the kernel's
    // does: after some bytes the write returns their count, before any it fails with
    // EINTR. Given the bytes a write is asked to take, this hook says after how many the
    // signal comes (the count or more: none comes during this write).
    std::function<std::size_t(std::size_t count)> interrupt_write;

    Iec61937Receiver receiver;
    std::uint64_t writes = 0;
    std::uint64_t underruns = 0;
    // Longest time the feeder left the device alone (no write, no output-delay
    // request) while a stream was being fed.
    std::uint64_t longest_feed_gap_us = 0;

private:
    void drain();
    void attended();
    void commit();
    void wait_for_room(std::uint64_t bytes);
    std::uint64_t played_by_clock() const;
    std::uint64_t capacity() const;

    Box& box_;
    bool open_ = false;
    bool closing_ = false;
    int format_ = 0x00000008;  // AFMT_U8, the OSS default
    int channels_ = 1;
    std::uint32_t rate_ = 8000;
    std::uint32_t fragment_ = 4096;
    bool fragment_asked_ = false;  // SNDCTL_DSP_SETFRAGMENT was granted since the open
    std::vector<std::uint8_t> held_;  // the partly filled fragment
    std::uint64_t written_ = 0;      // bytes of the current stream handed to the device
    std::uint64_t played_ = 0;       // bytes of the current stream played
    std::uint64_t drain_from_us_ = 0;
    std::uint64_t drain_base_ = 0;   // played_ at drain_from_us_
    bool streaming_ = false;  // written to since the open or the last reset
    bool ran_dry_ = false;
    std::uint64_t last_attended_us_ = 0;
};

}  // namespace emu
