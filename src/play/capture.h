// Capture of the show to a video file, in two kinds (by the file's extension):
//
// - .mp4, to share: H.264 4:2:0 with AAC-LC sound, what browsers and phones play. The
//   sound is the receiver's AC-3 frames decoded, laid on a 48 kHz timeline at the
//   times they play (silence where nothing plays) and encoded again, so that the audio
//   track starts with the video and has no holes.
// - .mkv, to keep: the lossless master. H.264 lossless in RGB (High 4:4:4 Predictive,
//   quantizer 0), so every picture decodes to exactly the box's colours, and the AC-3
//   frames exactly as the receiver took them out of the bursts, each at the time it
//   plays. (FFV1, the archivists' other choice, made files 2.4 times the size that
//   took 4 times as long to decode.)
//
// The video has a variable frame rate (each picture carries the time it appeared on
// the box's screen and lasts until the next one), or a constant one where each
// picture is repeated until the next is due. Pixels are scaled by a whole number,
// nearest neighbour. The file is written under a temporary name beside the one asked
// for and takes that name only when it is complete. Same input, same file bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

#include "play/convert.h"
#include "play/options.h"
#include "play/screen.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace play {

struct CaptureSettings {
    std::string path;
    unsigned scale = 1;
    unsigned fps = 0;  // 0: variable rate
};

// Packets an encoder made, in order, for the writer to write.
struct PacketFree {
    void operator()(AVPacket* p) const;
};
using Packets = std::vector<std::unique_ptr<AVPacket, PacketFree>>;

// The .mp4's sound: the decoded sound laid on a 48 kHz timeline at the times it plays
// (silence where nothing plays), encoded as AAC a whole frame at a time. It runs on the
// thread that hands the capture its sound, beside the pictures' encoder; what it makes
// goes to the writer, which writes it where the sound came among the pictures.
class SoundEncoder {
public:
    static constexpr int kRate = 48000;
    // A millisecond, in sample frames.
    static constexpr std::uint64_t kFollowOn = kRate / 1000;

    SoundEncoder() = default;
    ~SoundEncoder();
    SoundEncoder(const SoundEncoder&) = delete;
    SoundEncoder& operator=(const SoundEncoder&) = delete;

    // The codec's set-up goes in the file's header, as the .mp4 has it.
    bool open(std::string& why);
    const AVCodecContext* codec() const { return codec_; }

    // Interleaved stereo sound that starts to play at t_us. Sound that starts within
    // kFollowOn of where the sound added before it ends goes on from there: the decoder's
    // resampler holds a few sample frames back from one AC-3 frame to the next, and at
    // 44.1 kHz a frame's time in whole microseconds falls a sample frame either side of
    // the end of the one before. Sound that comes later for the same time replaces what
    // was there.
    void add(std::uint64_t t_us, const float* samples, std::size_t frames);
    // The sound from t_us on that has come is never played (the device dropped it): it
    // is silence unless sound comes for it again.
    void drop_from(std::uint64_t t_us);
    // Encodes the whole frames that end by t_us (no sound will come for them any more).
    bool encode_until(std::uint64_t t_us, Packets& out);
    // The end at end_us: the first whole frame that reaches it is the last; then what
    // the encoder still holds.
    bool encode_to_end(std::uint64_t end_us, Packets& out);
    bool flush(Packets& out);

private:
    bool encode_frame(Packets& out);
    bool send(AVFrame* frame, Packets& out);

    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<float> pcm_;       // interleaved sound from sample pcm_start_ on
    std::uint64_t pcm_start_ = 0;  // first sample not encoded yet
    std::optional<std::uint64_t> end_;  // where the sound added last ends, if the next may go on from there
};

class CaptureWriter {
public:
    // The master is started without sound once this many pictures have gone to the
    // encoder (at a constant rate every repeat counts) and no AC-3 frame has come:
    // what the encoder makes is held in memory until the file is started.
    static constexpr std::uint64_t kPicturesBeforeSound = 250;

    CaptureWriter() = default;
    ~CaptureWriter();  // removes an unfinished file
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // sound: the .mp4's sound encoder, open (the sound stream is made from it), or null
    // for the master, whose sound stream is made when its first frame tells what it is.
    bool open(const CaptureSettings& settings, const SoundEncoder* sound, std::string& why);

    // The picture on screen from t_us until the next picture (or the end), and where it
    // differs from the picture before; pictures come in time order.
    void picture(std::uint64_t t_us, const Screen& screen, const BoxChanges& changed);
    // The sound encoder's packets made at t_us (ok: it made them without a failure).
    void sound(std::uint64_t t_us, const Packets& packets, bool ok);
    // An AC-3 frame that starts to play at t_us. The first one makes the master's sound
    // stream, with what the decoder makes of it, or, when the decoder refuses it,
    // with what its header says; the frames go into the file as they are.
    void ac3(std::uint64_t t_us, const std::uint8_t* data, std::size_t len);
    // Ends the pictures at end_us, writes the sound encoder's last packets (flushed:
    // ok, it made them without a failure), finishes the file and gives it its name;
    // false, with why, when that or anything before it failed (the file is removed
    // then).
    bool close(std::uint64_t end_us, const Packets& flushed, bool ok, std::string& why);

    std::uint64_t pictures() const { return pictures_; }
    // AC-3 frames not in the master: they came after it was started without sound.
    std::uint64_t ac3_left_out() const { return ac3_left_out_; }
    // Packets held in memory until the file is started.
    std::size_t held() const { return waiting_.size(); }

private:
    bool open_video(std::string& why);
    bool open_sound(const SoundEncoder& sound, std::string& why);
    bool add_video_stream(const char* encoder, std::string& why);
    bool start_file(std::string& why);
    bool write(AVPacket* packet);
    bool send_picture(AVFrame* frame);
    bool send_held_picture(std::uint64_t end_us);
    bool wait_no_longer();
    bool add_ac3_stream(const std::uint8_t* data, std::size_t len);
    bool write_sound(const Packets& packets);
    void failed(std::uint64_t t_us, const char* what);
    void release();

    CaptureKind kind_ = CaptureKind::Unknown;
    CaptureSettings settings_;
    std::string temp_path_;  // where the file is written until it is complete
    AVFormatContext* format_ = nullptr;
    AVCodecContext* video_ = nullptr;
    AVStream* video_stream_ = nullptr;
    AVStream* audio_stream_ = nullptr;
    AVFrame* picture_ = nullptr;  // the last picture, sent once its duration is known
    AVPacket* packet_ = nullptr;
    bool started_ = false;                // the header is written
    std::vector<AVPacket*> waiting_;      // packets made before that
    bool holding_ = false;
    std::uint64_t held_t_us_ = 0;
    std::int64_t next_frame_ = 0;  // constant rate: the next output frame
    std::vector<std::pair<std::int64_t, std::int64_t>> durations_;  // pts -> duration of pictures in the encoder
    AVRational sound_time_base_{1, SoundEncoder::kRate};  // the sound packets': 1 / their rate
    std::int64_t ac3_next_ = 0;  // where the next AC-3 frame may start
    std::uint64_t pictures_ = 0;
    std::uint64_t sent_ = 0;  // pictures sent to the encoder
    std::uint64_t ac3_left_out_ = 0;
    std::string failure_;  // the first thing that went wrong
};

// Turns the box's display changes into the pictures of a video: a picture for every
// state of the screen that stayed on it for kMinShownUs or more, at the time it
// appeared. A state replaced sooner (a colour map put just before the pan it belongs
// to) is dropped for the next; a state equal to the one before is no new picture. The
// first picture starts the video at time 0. The pictures are handed on as they are and
// never changed afterwards; a picture's screen is filled again once no one else holds
// it.
class PictureTimeline {
public:
    static constexpr std::uint64_t kMinShownUs = 1000;
    using Sink = std::function<void(std::uint64_t t_us, std::shared_ptr<const Screen> screen)>;

    explicit PictureTimeline(Sink sink) : sink_(std::move(sink)) {}
    // The display may have changed at t_us (times never go back).
    void look(std::uint64_t t_us, const emu::Framebuffer& fb);
    // Hands on the last picture.
    void finish();

private:
    // A screen to fill: one only screens_ holds, or a new one.
    std::shared_ptr<Screen> blank();

    Sink sink_;
    std::vector<std::shared_ptr<Screen>> screens_;  // every screen made
    std::shared_ptr<const Screen> last_;           // the last picture handed on
    std::shared_ptr<Screen> pending_;              // the newest state, not handed on yet
    std::uint64_t pending_t_us_ = 0;
    bool have_pending_ = false;
};

}  // namespace play
