#include "play/ac3decoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace play {

Ac3Decoder::Ac3Decoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AC3);
    if (codec == nullptr) {
        why_ = "libavcodec has no AC-3 decoder";
        return;
    }
    codec_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (codec_ == nullptr || packet_ == nullptr || frame_ == nullptr) {
        why_ = "out of memory";
        avcodec_free_context(&codec_);  // not ok(): nothing decodes
        return;
    }
    codec_->flags |= AV_CODEC_FLAG_BITEXACT;
    if (avcodec_open2(codec_, codec, nullptr) < 0) {
        why_ = "the AC-3 decoder does not open";
        avcodec_free_context(&codec_);
    }
}

Ac3Decoder::~Ac3Decoder() {
    swr_free(&swr_);
    av_channel_layout_uninit(&swr_layout_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
}

bool Ac3Decoder::ok(std::string& why) const {
    why = why_;
    return codec_ != nullptr;
}

bool Ac3Decoder::decode(const std::uint8_t* data, std::size_t len, std::vector<float>& out) {
    if (codec_ == nullptr || av_new_packet(packet_, int(len)) < 0) return false;
    std::memcpy(packet_->data, data, len);
    int sent = avcodec_send_packet(codec_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) return false;
    bool any = false;
    while (avcodec_receive_frame(codec_, frame_) == 0) {
        any = convert(out) || any;
        av_frame_unref(frame_);
    }
    return any;
}

std::uint32_t Ac3Decoder::held() const {
    std::int64_t delay = swr_ == nullptr ? 0 : swr_get_delay(swr_, kRate);
    return delay > 0 ? std::uint32_t(delay) : 0;
}

// Into interleaved stereo floats at kRate, whatever layout, format and rate the
// stream has; for a 48 kHz stream the conversion keeps every sample frame.
bool Ac3Decoder::convert(std::vector<float>& out) {
    // Layouts of as many channels may still place them differently (3/0 and 2/1).
    if (swr_ == nullptr || swr_rate_ != frame_->sample_rate || swr_format_ != frame_->format ||
        av_channel_layout_compare(&swr_layout_, &frame_->ch_layout) != 0) {
        swr_free(&swr_);
        av_channel_layout_uninit(&swr_layout_);
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        if (swr_alloc_set_opts2(&swr_, &stereo, AV_SAMPLE_FMT_FLT, kRate, &frame_->ch_layout,
                                AVSampleFormat(frame_->format), frame_->sample_rate, 0, nullptr) < 0 ||
            swr_init(swr_) < 0 || av_channel_layout_copy(&swr_layout_, &frame_->ch_layout) < 0) {
            swr_free(&swr_);
            return false;
        }
        swr_rate_ = frame_->sample_rate;
        swr_format_ = frame_->format;
    }
    int most = swr_get_out_samples(swr_, frame_->nb_samples);
    if (most <= 0) return false;
    std::size_t at = out.size();
    out.resize(at + 2 * std::size_t(most));
    auto* dst = reinterpret_cast<std::uint8_t*>(out.data() + at);
    int got = swr_convert(swr_, &dst, most, const_cast<const std::uint8_t**>(frame_->extended_data), frame_->nb_samples);
    out.resize(at + 2 * std::size_t(got > 0 ? got : 0));
    return got > 0;
}

}  // namespace play
