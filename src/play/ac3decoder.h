// Decodes the AC-3 frames that come out of the box's digital output into stereo
// sound at 48 kHz (libavcodec's decoder, libswresample for the few conversions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace play {

class Ac3Decoder {
public:
    static constexpr int kRate = 48000;

    Ac3Decoder();
    ~Ac3Decoder();
    Ac3Decoder(const Ac3Decoder&) = delete;
    Ac3Decoder& operator=(const Ac3Decoder&) = delete;

    // False (with why) when libavcodec has no AC-3 decoder.
    bool ok(std::string& why) const;
    // Decodes one whole AC-3 frame and appends its sound to out as interleaved
    // left/right floats at kRate (1536 sample frames for a 48 kHz stream). False, with
    // nothing appended, when the frame does not decode.
    bool decode(const std::uint8_t* data, std::size_t len, std::vector<float>& out);
    // Sample frames at kRate of the frames decoded so far that the resampler still
    // holds back (a stream at another rate): they come out with the next frame's sound.
    std::uint32_t held() const;

private:
    bool convert(std::vector<float>& out);

    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwrContext* swr_ = nullptr;
    int swr_rate_ = 0;
    int swr_format_ = -1;
    AVChannelLayout swr_layout_{};  // the speakers the resampler mixes down from
    std::string why_;
};

}  // namespace play
