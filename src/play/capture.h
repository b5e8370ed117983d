// Capture of the show to an MP4 file: H.264 video with a picture at the exact time of
// every change of the display, and the sound as AC-3.
//
// The video has a variable frame rate: each picture carries the time it appeared on
// the box's screen (microseconds from the start of the run) and lasts until the next
// one. The sound is the receiver's AC-3 frames decoded, laid on a 48 kHz timeline at
// the times they play (silence where nothing plays) and encoded again, so that the
// audio track starts with the video and has no holes. Same input, same file bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "play/screen.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace play {

class Mp4Writer {
public:
    static constexpr int kAudioRate = 48000;
    static constexpr int kAudioFrame = 1536;

    Mp4Writer() = default;
    ~Mp4Writer();
    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    bool open(const std::string& path, std::string& why);
    // The picture on screen from t_us until the next picture (or the end); pictures
    // come in time order.
    void picture(std::uint64_t t_us, const Screen& screen);
    // Interleaved stereo sound at kAudioRate that starts to play at t_us. Sound that
    // comes later for the same time replaces what was there.
    void sound(std::uint64_t t_us, const float* samples, std::size_t frames);
    // No sound will come for times before t_us any more: encode up to there.
    void sound_final(std::uint64_t t_us);
    // Ends both streams at end_us and finishes the file; false, with why, when that or
    // anything before it failed.
    bool close(std::uint64_t end_us, std::string& why);

    std::uint64_t pictures() const { return pictures_; }

private:
    bool add_stream(const char* encoder, AVCodecContext*& codec, AVStream*& stream, std::string& why);
    bool send(AVCodecContext* codec, AVStream* stream, AVFrame* frame);
    bool send_held_picture(std::uint64_t end_us);
    bool encode_sound_frame();
    void failed(std::uint64_t t_us, const char* what);
    void release();

    AVFormatContext* format_ = nullptr;
    AVCodecContext* video_ = nullptr;
    AVCodecContext* audio_ = nullptr;
    AVStream* video_stream_ = nullptr;
    AVStream* audio_stream_ = nullptr;
    AVFrame* picture_ = nullptr;  // the last picture, sent once its duration is known
    AVFrame* sound_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool holding_ = false;
    std::uint64_t held_t_us_ = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> durations_;  // pts -> duration of pictures in the encoder
    std::vector<float> pcm_;         // interleaved sound from sample pcm_start_ on
    std::uint64_t pcm_start_ = 0;    // first sample not encoded yet
    std::uint64_t pictures_ = 0;
    std::string failure_;  // the first thing that went wrong
};

// Turns the box's display changes into the pictures of a video: a picture for every
// state of the screen that stayed on it for kMinShownUs or more, at the time it
// appeared. A state replaced sooner (a colour map put just before the pan it belongs
// to) is dropped for the next; a state equal to the one before is no new picture. The
// first picture starts the video at time 0.
class PictureTimeline {
public:
    static constexpr std::uint64_t kMinShownUs = 1000;
    using Sink = std::function<void(std::uint64_t t_us, const Screen& screen)>;

    explicit PictureTimeline(Sink sink) : sink_(std::move(sink)) {}
    // The display may have changed at t_us (times never go back).
    void look(std::uint64_t t_us, const emu::Framebuffer& fb);
    // Hands on the last picture.
    void finish();

private:
    Sink sink_;
    Screen last_;     // the last picture handed on
    Screen pending_;  // the newest state, not handed on yet
    std::uint64_t pending_t_us_ = 0;
    bool have_last_ = false;
    bool have_pending_ = false;
};

}  // namespace play
