#include "play/capture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace play {
namespace {

constexpr AVRational kVideoTimeBase = {1, 1000000};
constexpr AVRational kAudioTimeBase = {1, Mp4Writer::kAudioRate};

std::string av_why(const char* what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

// Palette picture to 4:2:0 video with the usual standard-definition matrix (BT.601,
// limited range); each chroma sample is the mean of its four pixels'.
void fill_yuv420(const Screen& screen, AVFrame* frame) {
    int y_of[256], u_of[256], v_of[256];
    for (int i = 0; i < 256; i++) {
        int r = screen.palette[3 * i], g = screen.palette[3 * i + 1], b = screen.palette[3 * i + 2];
        y_of[i] = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
        u_of[i] = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
        v_of[i] = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
    }
    const std::uint8_t* px = screen.pixels.data();
    for (unsigned y = 0; y < Screen::kHeight; y++) {
        std::uint8_t* row = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
        for (unsigned x = 0; x < Screen::kWidth; x++) row[x] = std::uint8_t(y_of[px[y * Screen::kWidth + x]]);
    }
    for (unsigned y = 0; y < Screen::kHeight / 2; y++) {
        std::uint8_t* u_row = frame->data[1] + std::ptrdiff_t(y) * frame->linesize[1];
        std::uint8_t* v_row = frame->data[2] + std::ptrdiff_t(y) * frame->linesize[2];
        const std::uint8_t* top = px + 2 * y * Screen::kWidth;
        const std::uint8_t* bottom = top + Screen::kWidth;
        for (unsigned x = 0; x < Screen::kWidth / 2; x++) {
            int a = top[2 * x], b = top[2 * x + 1], c = bottom[2 * x], d = bottom[2 * x + 1];
            u_row[x] = std::uint8_t((u_of[a] + u_of[b] + u_of[c] + u_of[d] + 2) >> 2);
            v_row[x] = std::uint8_t((v_of[a] + v_of[b] + v_of[c] + v_of[d] + 2) >> 2);
        }
    }
}

std::uint64_t sample_at(std::uint64_t t_us) { return (t_us * Mp4Writer::kAudioRate + 500000) / 1000000; }

}  // namespace

Mp4Writer::~Mp4Writer() { release(); }

void Mp4Writer::release() {
    if (format_ != nullptr) {
        if (!(format_->oformat->flags & AVFMT_NOFILE)) avio_closep(&format_->pb);
        avformat_free_context(format_);
        format_ = nullptr;
    }
    avcodec_free_context(&video_);
    avcodec_free_context(&audio_);
    av_frame_free(&picture_);
    av_frame_free(&sound_);
    av_packet_free(&packet_);
}

bool Mp4Writer::add_stream(const char* encoder, AVCodecContext*& codec, AVStream*& stream, std::string& why) {
    const AVCodec* found = avcodec_find_encoder_by_name(encoder);
    if (found == nullptr) {
        why = std::string("libavcodec has no ") + encoder + " encoder";
        return false;
    }
    codec = avcodec_alloc_context3(found);
    stream = avformat_new_stream(format_, nullptr);
    if (codec == nullptr || stream == nullptr) {
        why = "out of memory";
        return false;
    }
    codec->flags |= AV_CODEC_FLAG_BITEXACT;
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return true;
}

bool Mp4Writer::open(const std::string& path, std::string& why) {
    int r = avformat_alloc_output_context2(&format_, nullptr, "mp4", path.c_str());
    if (r < 0) {
        why = av_why("mp4 muxer", r);
        return false;
    }
    format_->flags |= AVFMT_FLAG_BITEXACT;
    packet_ = av_packet_alloc();
    picture_ = av_frame_alloc();
    sound_ = av_frame_alloc();
    if (packet_ == nullptr || picture_ == nullptr || sound_ == nullptr) {
        why = "out of memory";
        return false;
    }

    if (!add_stream("libx264", video_, video_stream_, why)) return false;
    video_->width = Screen::kWidth;
    video_->height = Screen::kHeight;
    video_->pix_fmt = AV_PIX_FMT_YUV420P;
    video_->time_base = kVideoTimeBase;
    video_->framerate = {50, 1};  // the usual rate, for the encoder's rate control; the times are exact
    video_->sample_aspect_ratio = {1, 1};
    // Pictures in display order: each one's decode time is its display time, so the
    // file's times are exactly the screen's and the last picture ends at the end.
    video_->max_b_frames = 0;
    video_->color_range = AVCOL_RANGE_MPEG;
    video_->colorspace = AVCOL_SPC_SMPTE170M;
    // A fixed thread count: the encoder's output depends on it, and captures of the
    // same build must be the same on every machine.
    video_->thread_count = 2;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "superfast", 0);
    av_dict_set(&options, "crf", "20", 0);
    r = avcodec_open2(video_, video_->codec, &options);
    av_dict_free(&options);
    if (r < 0) {
        why = av_why("H.264 encoder", r);
        return false;
    }
    video_stream_->time_base = kVideoTimeBase;
    avcodec_parameters_from_context(video_stream_->codecpar, video_);

    if (!add_stream("ac3", audio_, audio_stream_, why)) return false;
    audio_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio_->sample_rate = kAudioRate;
    audio_->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    audio_->bit_rate = 448000;
    audio_->time_base = kAudioTimeBase;
    r = avcodec_open2(audio_, audio_->codec, nullptr);
    if (r < 0) {
        why = av_why("AC-3 encoder", r);
        return false;
    }
    audio_stream_->time_base = kAudioTimeBase;
    avcodec_parameters_from_context(audio_stream_->codecpar, audio_);

    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = Screen::kWidth;
    picture_->height = Screen::kHeight;
    sound_->format = AV_SAMPLE_FMT_FLTP;
    sound_->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    sound_->nb_samples = kAudioFrame;
    sound_->sample_rate = kAudioRate;
    if (av_frame_get_buffer(picture_, 0) < 0 || av_frame_get_buffer(sound_, 0) < 0) {
        why = "out of memory";
        return false;
    }

    r = avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        why = av_why(path.c_str(), r);
        return false;
    }
    r = avformat_write_header(format_, nullptr);
    if (r < 0) {
        why = av_why("mp4 header", r);
        return false;
    }
    return true;
}

// Sends frame (null: the end) to codec and writes what comes out.
bool Mp4Writer::send(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
    if (avcodec_send_frame(codec, frame) < 0) return false;
    for (;;) {
        int r = avcodec_receive_packet(codec, packet_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        if (codec == video_) {
            auto it = std::find_if(durations_.begin(), durations_.end(), [&](const auto& d) { return d.first == packet_->pts; });
            if (it != durations_.end()) {
                packet_->duration = it->second;
                durations_.erase(it);
            }
        }
        av_packet_rescale_ts(packet_, codec->time_base, stream->time_base);
        packet_->stream_index = stream->index;
        if (av_interleaved_write_frame(format_, packet_) < 0) return false;
    }
}

bool Mp4Writer::send_held_picture(std::uint64_t end_us) {
    if (!holding_) return true;
    holding_ = false;
    picture_->pts = std::int64_t(held_t_us_);
    durations_.emplace_back(picture_->pts, std::int64_t(std::max<std::uint64_t>(end_us - held_t_us_, 1)));
    return send(video_, video_stream_, picture_);
}

void Mp4Writer::failed(std::uint64_t t_us, const char* what) {
    if (!failure_.empty()) return;
    char at[32];
    std::snprintf(at, sizeof at, " at %.3f s", double(t_us) / 1e6);
    failure_ = what + std::string(at);
}

void Mp4Writer::picture(std::uint64_t t_us, const Screen& screen) {
    if (!failure_.empty()) return;
    if (!send_held_picture(t_us) || av_frame_make_writable(picture_) < 0) {
        failed(t_us, "video encoding failed");
        return;
    }
    fill_yuv420(screen, picture_);
    held_t_us_ = t_us;
    holding_ = true;
    pictures_++;
}

void Mp4Writer::sound(std::uint64_t t_us, const float* samples, std::size_t frames) {
    std::uint64_t at = sample_at(t_us);
    // Sound before what is already encoded is out of reach (it never comes: a frame
    // plays at the earliest when it is written).
    std::size_t skip = at < pcm_start_ ? std::size_t(std::min<std::uint64_t>(pcm_start_ - at, frames)) : 0;
    std::size_t offset = std::size_t(at + skip - pcm_start_);
    std::size_t count = frames - skip;
    if (pcm_.size() < 2 * (offset + count)) pcm_.resize(2 * (offset + count), 0.0f);
    std::copy(samples + 2 * skip, samples + 2 * frames, pcm_.begin() + std::ptrdiff_t(2 * offset));
}

bool Mp4Writer::encode_sound_frame() {
    if (av_frame_make_writable(sound_) < 0) return false;
    auto* left = reinterpret_cast<float*>(sound_->data[0]);
    auto* right = reinterpret_cast<float*>(sound_->data[1]);
    std::size_t have = std::min<std::size_t>(pcm_.size() / 2, kAudioFrame);
    for (std::size_t i = 0; i < kAudioFrame; i++) {
        left[i] = i < have ? pcm_[2 * i] : 0.0f;
        right[i] = i < have ? pcm_[2 * i + 1] : 0.0f;
    }
    pcm_.erase(pcm_.begin(), pcm_.begin() + std::ptrdiff_t(2 * have));
    sound_->pts = std::int64_t(pcm_start_);
    pcm_start_ += kAudioFrame;
    return send(audio_, audio_stream_, sound_);
}

void Mp4Writer::sound_final(std::uint64_t t_us) {
    std::uint64_t final_sample = sample_at(t_us);
    while (failure_.empty() && pcm_start_ + kAudioFrame <= final_sample)
        if (!encode_sound_frame()) failed(t_us, "sound encoding failed");
}

bool Mp4Writer::close(std::uint64_t end_us, std::string& why) {
    if (format_ == nullptr) {
        why = "not open";
        return false;
    }
    // The sound ends with the first whole AC-3 frame that reaches the end.
    while (failure_.empty() && pcm_start_ < sample_at(end_us))
        if (!encode_sound_frame()) failed(end_us, "sound encoding failed");
    if (failure_.empty() && !(send_held_picture(end_us) && send(video_, video_stream_, nullptr) && send(audio_, audio_stream_, nullptr)))
        failed(end_us, "finishing the encoding failed");
    int r = failure_.empty() ? av_write_trailer(format_) : 0;
    if (r < 0) failure_ = av_why("mp4 trailer", r);
    release();
    why = failure_;
    return failure_.empty();
}

void PictureTimeline::look(std::uint64_t t_us, const emu::Framebuffer& fb) {
    if (have_pending_) {
        if (shows(fb, pending_)) return;
        if (t_us - pending_t_us_ < kMinShownUs) {
            // The pending state was never really seen: the new one takes its place at
            // its own time (the first picture stays at the start of the video), or,
            // when it is the picture before again, that picture just goes on.
            take_screen(fb, pending_);
            if (have_last_) pending_t_us_ = t_us;
            if (have_last_ && pending_ == last_) have_pending_ = false;
            return;
        }
        sink_(pending_t_us_, pending_);
        std::swap(last_, pending_);
        have_last_ = true;
    } else if (have_last_ && shows(fb, last_)) {
        return;
    }
    take_screen(fb, pending_);
    pending_t_us_ = t_us;
    have_pending_ = true;
}

void PictureTimeline::finish() {
    if (have_pending_) sink_(pending_t_us_, pending_);
    have_pending_ = false;
}

}  // namespace play
