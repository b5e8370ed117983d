#include "testvideo.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace testvideo {

Video read_video(const std::string& path, const std::function<void(const AVFrame&)>& on_picture) {
    Video v;
    AVFormatContext* format = nullptr;
    EXPECT_EQ(avformat_open_input(&format, path.c_str(), nullptr, nullptr), 0) << path;
    if (format == nullptr) return v;
    EXPECT_GE(avformat_find_stream_info(format, nullptr), 0);
    std::map<int, AVCodecContext*> decoders;
    int video = -1, audio = -1;
    for (unsigned i = 0; i < format->nb_streams; i++) {
        AVStream* st = format->streams[i];
        double tb = av_q2d(st->time_base);
        double start = double(st->start_time) * tb, end = start + double(st->duration) * tb;
        if (st->duration == AV_NOPTS_VALUE) end = double(format->duration) / AV_TIME_BASE;
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            video = int(i);
            v.video_codec = st->codecpar->codec_id;
            v.width = st->codecpar->width;
            v.height = st->codecpar->height;
            v.video_start = start;
            v.video_end = end;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            audio = int(i);
            v.audio_codec = st->codecpar->codec_id;
            v.audio_start = start;
            v.audio_end = end;
        }
        AVCodecContext* c = avcodec_alloc_context3(avcodec_find_decoder(st->codecpar->codec_id));
        avcodec_parameters_to_context(c, st->codecpar);
        EXPECT_EQ(avcodec_open2(c, c->codec, nullptr), 0);
        decoders[int(i)] = c;
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](int index) {
        while (avcodec_receive_frame(decoders[index], frame) == 0) {
            if (index == video) {
                if (on_picture) on_picture(*frame);
            } else {
                auto* l = reinterpret_cast<const float*>(frame->extended_data[0]);
                v.left.insert(v.left.end(), l, l + frame->nb_samples);
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) == 0) {
        if (packet->stream_index == video)
            v.video_pts_us.push_back(av_rescale_q(packet->pts, format->streams[video]->time_base, {1, 1000000}));
        if (packet->stream_index == audio) v.audio_packets.emplace_back(packet->data, packet->data + packet->size);
        avcodec_send_packet(decoders[packet->stream_index], packet);
        drain(packet->stream_index);
        av_packet_unref(packet);
    }
    for (auto& [index, c] : decoders) {
        avcodec_send_packet(c, nullptr);
        drain(index);
        avcodec_free_context(&c);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
    return v;
}

StoredSound read_stored_sound(const std::string& path) {
    StoredSound sound;
    AVFormatContext* format = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "fflags", "+noparse", 0);
    EXPECT_EQ(avformat_open_input(&format, path.c_str(), nullptr, &options), 0) << path;
    av_dict_free(&options);
    if (format == nullptr) return sound;
    int audio = -1;
    for (unsigned i = 0; i < format->nb_streams; i++) {
        const AVCodecParameters* par = format->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        audio = int(i);
        sound.codec = par->codec_id;
        sound.rate = par->sample_rate;
        sound.channels = par->ch_layout.nb_channels;
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) == 0) {
        if (packet->stream_index == audio) sound.packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return sound;
}

std::array<int, 3> rgb_at(const AVFrame& picture, int x, int y) {
    auto at = [&](int plane, int px, int py) { return int(picture.data[plane][std::ptrdiff_t(py) * picture.linesize[plane] + px]); };
    if (picture.format == AV_PIX_FMT_GBRP) return {at(2, x, y), at(0, x, y), at(1, x, y)};
    EXPECT_EQ(picture.format, AV_PIX_FMT_YUV420P);
    double l = (at(0, x, y) - 16) * 255.0 / 219, u = (at(1, x / 2, y / 2) - 128) * 255.0 / 224,
           v = (at(2, x / 2, y / 2) - 128) * 255.0 / 224;
    auto clamp = [](double c) { return std::clamp(int(std::lround(c)), 0, 255); };
    return {clamp(l + 1.402 * v), clamp(l - 0.344136 * u - 0.714136 * v), clamp(l + 1.772 * u)};
}

}  // namespace testvideo
