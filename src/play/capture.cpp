#include "play/capture.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "data/pngwrite.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace play {
namespace {

constexpr AVRational kMicroseconds = {1, 1000000};
// Samples in an AC-3 frame, at any rate.
constexpr int kAc3Samples = 1536;

std::string av_why(const char* what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

std::uint64_t sample_at(std::uint64_t t_us, int rate) { return (t_us * unsigned(rate) + 500000) / 1000000; }

// The rate and the speaker layout of an AC-3 frame, from the decoder.
bool ac3_format(const std::uint8_t* data, std::size_t len, int& rate, AVChannelLayout& layout) {
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_AC3);
    AVCodecContext* codec = decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = codec != nullptr && packet != nullptr && frame != nullptr && avcodec_open2(codec, decoder, nullptr) >= 0 &&
              av_new_packet(packet, int(len)) >= 0;
    if (ok) {
        std::memcpy(packet->data, data, len);
        ok = avcodec_send_packet(codec, packet) >= 0 && avcodec_receive_frame(codec, frame) >= 0 &&
             av_channel_layout_copy(&layout, &frame->ch_layout) >= 0;
        rate = frame->sample_rate;
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    return ok && rate > 0;
}

// The rate and the speaker layout of an AC-3 frame as its own header gives them, for a
// frame the decoder refuses (a damaged bit stream id, a channel mode it cannot read):
// the rate from the syncinfo's fscod, the rate the sound device plays the bursts at;
// the speakers from the BSI's acmod and lfeon, as libavcodec lays them out (1+1 as
// stereo). False only when the frame is too short or fscod is the reserved 3.
bool ac3_header_format(const std::uint8_t* data, std::size_t len, int& rate, AVChannelLayout& layout) {
    static constexpr int kRates[3] = {48000, 44100, 32000};
    static constexpr std::uint64_t kSpeakers[8] = {AV_CH_LAYOUT_STEREO,   AV_CH_LAYOUT_MONO, AV_CH_LAYOUT_STEREO,
                                                   AV_CH_LAYOUT_SURROUND, AV_CH_LAYOUT_2_1,  AV_CH_LAYOUT_4POINT0,
                                                   AV_CH_LAYOUT_2_2,      AV_CH_LAYOUT_5POINT0};
    if (len < 7 || data[0] != 0x0B || data[1] != 0x77 || data[4] >> 6 == 3) return false;
    rate = kRates[data[4] >> 6];
    // bsid (5 bits) and bsmod (3) fill byte 5; acmod opens byte 6, then the mix levels
    // it has, then lfeon.
    const unsigned acmod = data[6] >> 5;
    unsigned bit = 3;
    if ((acmod & 1) != 0 && acmod != 1) bit += 2;  // cmixlev
    if ((acmod & 4) != 0) bit += 2;                // surmixlev
    if (acmod == 2) bit += 2;                      // dsurmod
    const bool lfe = (data[6] >> (7 - bit)) & 1;
    av_channel_layout_uninit(&layout);
    return av_channel_layout_from_mask(&layout, kSpeakers[acmod] | (lfe ? AV_CH_LOW_FREQUENCY : 0)) >= 0;
}

// An encoder's context, to make a file's bytes the same in every run.
AVCodecContext* new_encoder(const char* name, bool global_header, std::string& why) {
    const AVCodec* found = avcodec_find_encoder_by_name(name);
    if (found == nullptr) {
        why = std::string("libavcodec has no ") + name + " encoder";
        return nullptr;
    }
    AVCodecContext* codec = avcodec_alloc_context3(found);
    if (codec == nullptr) {
        why = "out of memory";
        return nullptr;
    }
    codec->flags |= AV_CODEC_FLAG_BITEXACT;
    if (global_header) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return codec;
}

}  // namespace

void PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }

SoundEncoder::~SoundEncoder() {
    avcodec_free_context(&codec_);
    av_frame_free(&frame_);
}

bool SoundEncoder::open(std::string& why) {
    codec_ = new_encoder("aac", true, why);
    if (codec_ == nullptr) return false;
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = kRate;
    codec_->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    codec_->bit_rate = 192000;
    codec_->time_base = {1, kRate};
    // The fast coder: at this rate it sounds as the default two-loop search does, for
    // less than half the time.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    int r = avcodec_open2(codec_, codec_->codec, &options);
    av_dict_free(&options);
    if (r < 0) {
        why = av_why("AAC encoder", r);
        return false;
    }
    frame_ = av_frame_alloc();
    if (frame_ == nullptr) {
        why = "out of memory";
        return false;
    }
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    frame_->nb_samples = codec_->frame_size;
    frame_->sample_rate = kRate;
    if (av_frame_get_buffer(frame_, 0) < 0) {
        why = "out of memory";
        return false;
    }
    return true;
}

void SoundEncoder::add(std::uint64_t t_us, const float* samples, std::size_t frames) {
    std::uint64_t at = sample_at(t_us, kRate);
    if (end_ && *end_ >= pcm_start_ && at + kFollowOn >= *end_ && at <= *end_ + kFollowOn) at = *end_;
    end_ = at + frames;
    // Sound before what is already encoded is out of reach (it never comes: a frame
    // plays at the earliest when it is written).
    std::size_t skip = at < pcm_start_ ? std::size_t(std::min<std::uint64_t>(pcm_start_ - at, frames)) : 0;
    if (skip == frames) return;
    std::size_t offset = std::size_t(at + skip - pcm_start_);
    std::size_t count = frames - skip;
    if (pcm_.size() < 2 * (offset + count)) pcm_.resize(2 * (offset + count), 0.0f);
    std::copy(samples + 2 * skip, samples + 2 * frames, pcm_.begin() + std::ptrdiff_t(2 * offset));
}

void SoundEncoder::drop_from(std::uint64_t t_us) {
    const std::uint64_t at = sample_at(t_us, kRate);
    end_.reset();
    const std::size_t keep = at > pcm_start_ ? std::size_t(2 * (at - pcm_start_)) : 0;
    if (pcm_.size() > keep) pcm_.resize(keep);
}

bool SoundEncoder::send(AVFrame* frame, Packets& out) {
    if (avcodec_send_frame(codec_, frame) < 0) return false;
    for (;;) {
        Packets::value_type packet(av_packet_alloc());
        if (packet == nullptr) return false;
        int r = avcodec_receive_packet(codec_, packet.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        out.push_back(std::move(packet));
    }
}

bool SoundEncoder::encode_frame(Packets& out) {
    if (av_frame_make_writable(frame_) < 0) return false;
    auto* left = reinterpret_cast<float*>(frame_->data[0]);
    auto* right = reinterpret_cast<float*>(frame_->data[1]);
    const std::size_t size = std::size_t(frame_->nb_samples);
    std::size_t have = std::min(pcm_.size() / 2, size);
    for (std::size_t i = 0; i < size; i++) {
        left[i] = i < have ? pcm_[2 * i] : 0.0f;
        right[i] = i < have ? pcm_[2 * i + 1] : 0.0f;
    }
    pcm_.erase(pcm_.begin(), pcm_.begin() + std::ptrdiff_t(2 * have));
    frame_->pts = std::int64_t(pcm_start_);
    pcm_start_ += size;
    return send(frame_, out);
}

bool SoundEncoder::encode_until(std::uint64_t t_us, Packets& out) {
    const std::uint64_t final_sample = sample_at(t_us, kRate);
    while (pcm_start_ + std::uint64_t(frame_->nb_samples) <= final_sample)
        if (!encode_frame(out)) return false;
    return true;
}

bool SoundEncoder::encode_to_end(std::uint64_t end_us, Packets& out) {
    while (pcm_start_ < sample_at(end_us, kRate))
        if (!encode_frame(out)) return false;
    return true;
}

bool SoundEncoder::flush(Packets& out) { return send(nullptr, out); }

CaptureWriter::~CaptureWriter() {
    release();
    if (!temp_path_.empty()) std::remove(temp_path_.c_str());
}

void CaptureWriter::release() {
    if (format_ != nullptr) {
        avio_closep(&format_->pb);
        avformat_free_context(format_);
        format_ = nullptr;
    }
    for (AVPacket*& p : waiting_) av_packet_free(&p);
    waiting_.clear();
    avcodec_free_context(&video_);
    av_frame_free(&picture_);
    av_packet_free(&packet_);
}

bool CaptureWriter::add_video_stream(const char* encoder, std::string& why) {
    video_ = new_encoder(encoder, format_->oformat->flags & AVFMT_GLOBALHEADER, why);
    if (video_ == nullptr) return false;
    video_stream_ = avformat_new_stream(format_, nullptr);
    if (video_stream_ == nullptr) {
        why = "out of memory";
        return false;
    }
    return true;
}

bool CaptureWriter::open_video(std::string& why) {
    const bool mp4 = kind_ == CaptureKind::Mp4;
    // The master is H.264 too, lossless in RGB (High 4:4:4 Predictive): every picture
    // decodes to exactly the box's colours.
    if (!add_video_stream(mp4 ? "libx264" : "libx264rgb", why)) return false;
    video_->width = int(Screen::kWidth * settings_.scale);
    video_->height = int(Screen::kHeight * settings_.scale);
    video_->pix_fmt = mp4 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_BGR0;
    video_->time_base = settings_.fps != 0 ? AVRational{1, int(settings_.fps)} : kMicroseconds;
    // The usual rate, for the encoder's rate control; the times are exact.
    video_->framerate = {settings_.fps != 0 ? int(settings_.fps) : 50, 1};
    video_->sample_aspect_ratio = {1, 1};
    // Pictures in display order: each one's decode time is its display time, so the
    // file's times are exactly the screen's and the last picture ends at the end.
    video_->max_b_frames = 0;
    // A fixed thread count: the encoder's output depends on it, and captures of the
    // same build must be the same on every machine.
    video_->thread_count = 2;
    if (mp4) {
        video_->color_range = AVCOL_RANGE_MPEG;
        video_->colorspace = AVCOL_SPC_SMPTE170M;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "superfast", 0);
    av_dict_set(&options, mp4 ? "crf" : "qp", mp4 ? "20" : "0", 0);
    int r = avcodec_open2(video_, video_->codec, &options);
    av_dict_free(&options);
    if (r < 0) {
        why = av_why("H.264 encoder", r);
        return false;
    }
    video_stream_->time_base = video_->time_base;
    if (settings_.fps != 0) video_stream_->avg_frame_rate = video_->framerate;
    avcodec_parameters_from_context(video_stream_->codecpar, video_);

    picture_->format = video_->pix_fmt;
    picture_->width = video_->width;
    picture_->height = video_->height;
    if (av_frame_get_buffer(picture_, 0) < 0) {
        why = "out of memory";
        return false;
    }
    return true;
}

bool CaptureWriter::open_sound(const SoundEncoder& sound, std::string& why) {
    audio_stream_ = avformat_new_stream(format_, nullptr);
    if (audio_stream_ == nullptr || avcodec_parameters_from_context(audio_stream_->codecpar, sound.codec()) < 0) {
        why = "out of memory";
        return false;
    }
    audio_stream_->time_base = sound_time_base_ = sound.codec()->time_base;
    return true;
}

bool CaptureWriter::open(const CaptureSettings& settings, const SoundEncoder* sound, std::string& why) {
    settings_ = settings;
    kind_ = capture_kind(settings.path);
    if (kind_ == CaptureKind::Unknown) {
        why = "not a .mp4 or .mkv file";
        return false;
    }
    std::error_code error;
    if (std::filesystem::is_directory(settings.path, error)) {
        why = "is a directory";
        return false;
    }
    int r = avformat_alloc_output_context2(&format_, nullptr, kind_ == CaptureKind::Mp4 ? "mp4" : "matroska", nullptr);
    if (r < 0) {
        why = av_why("muxer", r);
        return false;
    }
    format_->flags |= AVFMT_FLAG_BITEXACT;
    packet_ = av_packet_alloc();
    picture_ = av_frame_alloc();
    if (packet_ == nullptr || picture_ == nullptr) {
        why = "out of memory";
        return false;
    }
    if (!open_video(why)) return false;
    if (sound != nullptr && !open_sound(*sound, why)) return false;

    if (!make_temp(settings.path, temp_path_, why)) return false;
    r = avio_open(&format_->pb, temp_path_.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        why = av_why("cannot be written", r);
        return false;
    }
    return kind_ == CaptureKind::Mkv || start_file(why);
}

bool CaptureWriter::start_file(std::string& why) {
    int r = avformat_write_header(format_, nullptr);
    if (r < 0) {
        why = av_why("header", r);
        return false;
    }
    started_ = true;
    bool ok = true;
    for (AVPacket*& p : waiting_) {
        ok = ok && write(p);
        av_packet_free(&p);
    }
    waiting_.clear();
    if (!ok) why = "writing failed";
    return ok;
}

// Writes packet (times in its encoder's time base), or keeps it until the header is out.
bool CaptureWriter::write(AVPacket* packet) {
    if (!started_) {
        AVPacket* copy = av_packet_clone(packet);
        av_packet_unref(packet);
        if (copy == nullptr) return false;
        waiting_.push_back(copy);
        return true;
    }
    AVRational from = packet->stream_index == video_stream_->index ? video_->time_base : sound_time_base_;
    av_packet_rescale_ts(packet, from, format_->streams[packet->stream_index]->time_base);
    int r = av_interleaved_write_frame(format_, packet);
    if (r < 0 && failure_.empty()) failure_ = av_why("cannot be written", r);
    return r >= 0;
}

// The master holds what the encoder makes until its first AC-3 frame says what its
// sound is, but not for ever: once kPicturesBeforeSound pictures have gone to the
// encoder without one, it starts without sound. Counted in pictures, never in time,
// so that the same input makes the same file.
bool CaptureWriter::wait_no_longer() {
    if (started_ || sent_ < kPicturesBeforeSound) return true;
    std::string why;
    if (start_file(why)) return true;
    if (failure_.empty()) failure_ = why;
    return false;
}

// Sends frame (null: the end) to the pictures' encoder and writes what comes out.
bool CaptureWriter::send_picture(AVFrame* frame) {
    if (avcodec_send_frame(video_, frame) < 0) return false;
    if (frame != nullptr) sent_++;
    for (;;) {
        int r = avcodec_receive_packet(video_, packet_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return frame == nullptr || wait_no_longer();
        if (r < 0) return false;
        auto it = std::find_if(durations_.begin(), durations_.end(), [&](const auto& d) { return d.first == packet_->pts; });
        if (it != durations_.end()) {
            packet_->duration = it->second;
            durations_.erase(it);
        }
        packet_->stream_index = video_stream_->index;
        if (!write(packet_)) return false;
    }
}

// Sends the picture held for the time up to end_us: once with its own time and length,
// or at a constant rate once for every output frame due before end_us.
bool CaptureWriter::send_held_picture(std::uint64_t end_us) {
    if (!holding_) return true;
    holding_ = false;
    if (settings_.fps == 0) {
        picture_->pts = std::int64_t(held_t_us_);
        durations_.emplace_back(picture_->pts, std::int64_t(std::max<std::uint64_t>(end_us - held_t_us_, 1)));
        return send_picture(picture_);
    }
    // Frame n is due at n / fps seconds; the first frame always shows the first picture.
    while (next_frame_ == 0 || std::uint64_t(next_frame_) * 1000000 < end_us * settings_.fps) {
        picture_->pts = next_frame_++;
        durations_.emplace_back(picture_->pts, 1);
        if (!send_picture(picture_)) return false;
    }
    return true;
}

void CaptureWriter::failed(std::uint64_t t_us, const char* what) {
    if (!failure_.empty()) return;
    char at[32];
    std::snprintf(at, sizeof at, " at %.3f s", double(t_us) / 1e6);
    failure_ = what + std::string(at);
}

void CaptureWriter::picture(std::uint64_t t_us, const Screen& screen, const BoxChanges& changed) {
    if (!failure_.empty()) return;
    if (!send_held_picture(t_us) || av_frame_make_writable(picture_) < 0) {
        failed(t_us, "video encoding failed");
        return;
    }
    // The encoder has copied the picture before (or making it writable did): picture_
    // still holds it, and only what changed is drawn again.
    if (kind_ == CaptureKind::Mp4)
        to_yuv420(screen, settings_.scale, {picture_->data[0], picture_->linesize[0]}, {picture_->data[1], picture_->linesize[1]},
                  {picture_->data[2], picture_->linesize[2]}, changed);
    else
        to_bgr0(screen, settings_.scale, {picture_->data[0], picture_->linesize[0]}, changed);
    held_t_us_ = t_us;
    holding_ = true;
    pictures_++;
}

bool CaptureWriter::write_sound(const Packets& packets) {
    for (const auto& packet : packets) {
        packet->stream_index = audio_stream_->index;
        if (!write(packet.get())) return false;
    }
    return true;
}

void CaptureWriter::sound(std::uint64_t t_us, const Packets& packets, bool ok) {
    if (!failure_.empty()) return;
    if (!ok) return failed(t_us, "sound encoding failed");
    if (!write_sound(packets)) failed(t_us, "writing failed");
}

bool CaptureWriter::add_ac3_stream(const std::uint8_t* data, std::size_t len) {
    int rate = 0;
    AVChannelLayout layout{};
    // The decoder's word first (what it makes of a good frame is what the file has
    // always said); a frame it refuses still says what it is in its header.
    if (!ac3_format(data, len, rate, layout) && !ac3_header_format(data, len, rate, layout)) return false;
    audio_stream_ = avformat_new_stream(format_, nullptr);
    if (audio_stream_ == nullptr) return false;
    AVCodecParameters* par = audio_stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_AC3;
    par->sample_rate = rate;
    par->frame_size = kAc3Samples;
    par->ch_layout = layout;
    audio_stream_->time_base = sound_time_base_ = {1, rate};
    return true;
}

void CaptureWriter::ac3(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    if (kind_ != CaptureKind::Mkv || !failure_.empty()) return;
    if (audio_stream_ == nullptr) {
        // A file started without sound (no frame came in time) takes none any more.
        if (started_) {
            ac3_left_out_++;
            return;
        }
        // The first frame tells what the stream is, and the file starts with it.
        if (!add_ac3_stream(data, len)) return;
        std::string why;
        if (!start_file(why)) return failed(t_us, "writing failed");
    }
    // Frames follow one another without overlapping, each from the time it plays.
    const int rate = sound_time_base_.den;
    std::int64_t pts = std::max(std::int64_t(sample_at(t_us, rate)), ac3_next_);
    if (av_new_packet(packet_, int(len)) < 0) return failed(t_us, "out of memory");
    std::memcpy(packet_->data, data, len);
    packet_->pts = packet_->dts = pts;
    packet_->duration = kAc3Samples;
    packet_->stream_index = audio_stream_->index;
    ac3_next_ = pts + kAc3Samples;
    if (!write(packet_)) failed(t_us, "writing failed");
}

bool CaptureWriter::close(std::uint64_t end_us, const Packets& flushed, bool ok, std::string& why) {
    if (format_ == nullptr) {
        why = "not open";
        return false;
    }
    if (failure_.empty() && !(ok && send_held_picture(end_us) && send_picture(nullptr) && write_sound(flushed)))
        failed(end_us, "finishing the encoding failed");
    std::string start_why;
    if (failure_.empty() && !started_ && !start_file(start_why)) failure_ = start_why;
    int r = failure_.empty() ? av_write_trailer(format_) : 0;
    if (r < 0) failure_ = av_why("trailer", r);
    // The file is complete only once it is on the disk.
    if (failure_.empty() && (format_->pb->error < 0 || avio_closep(&format_->pb) < 0)) failure_ = "cannot be written";
    release();
    if (failure_.empty() && std::rename(temp_path_.c_str(), settings_.path.c_str()) != 0)
        failure_ = std::string("cannot be renamed from ") + temp_path_ + " (" + std::strerror(errno) + ")";
    // A capture that failed leaves nothing behind, even when the program ends without
    // destroying its writer (the show's exit).
    if (!failure_.empty()) std::remove(temp_path_.c_str());
    temp_path_.clear();
    why = failure_;
    return failure_.empty();
}

std::shared_ptr<Screen> PictureTimeline::blank() {
    for (const std::shared_ptr<Screen>& screen : screens_)
        if (screen.use_count() == 1) {
            // Whoever held it last has let go of it, and has done reading it.
            std::atomic_thread_fence(std::memory_order_acquire);
            return screen;
        }
    return screens_.emplace_back(std::make_shared<Screen>());
}

void PictureTimeline::look(std::uint64_t t_us, const emu::Framebuffer& fb) {
    if (have_pending_) {
        if (shows(fb, *pending_)) return;
        if (t_us - pending_t_us_ < kMinShownUs) {
            // The pending state was never really seen: the new one takes its place at
            // its own time (the first picture stays at the start of the video), or,
            // when it is the picture before again, that picture just goes on.
            take_screen(fb, *pending_);
            if (last_) pending_t_us_ = t_us;
            if (last_ && *pending_ == *last_) have_pending_ = false;
            return;
        }
        sink_(pending_t_us_, pending_);
        last_ = std::move(pending_);
    } else if (last_ && shows(fb, *last_)) {
        return;
    }
    if (!pending_) pending_ = blank();
    take_screen(fb, *pending_);
    pending_t_us_ = t_us;
    have_pending_ = true;
}

void PictureTimeline::finish() {
    if (have_pending_) sink_(pending_t_us_, std::move(pending_));
    have_pending_ = false;
}

}  // namespace play
