// A capture made beside the show: the pictures are handed to a thread of their own,
// which converts them, feeds the pictures' encoder and writes the file while the show
// goes on drawing the next ones. The encoder waits while the capture's thread does
// anything but feed it, and the show's thread has time to spare: it finds where each
// picture differs from the one before, and it encodes the .mp4's sound, whose packets
// go to the capture's thread to be written where the sound came among the pictures.
// The file is the same bytes in every run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "play/capture.h"

namespace play {

class CaptureThread {
public:
    // Pictures handed over and not converted yet, at most; beyond that the show waits
    // until the encoder is down to kPicturesResume (one wait for several pictures, not
    // one for each).
    static constexpr unsigned kPicturesAhead = 6, kPicturesResume = 2;

    CaptureThread() = default;
    ~CaptureThread();  // an unfinished capture is removed
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    // Opens the file (false, with why) and starts the thread.
    bool open(const CaptureSettings& settings, std::string& why);
    // Whether the file takes decoded sound (sound) or the AC-3 frames (ac3).
    bool wants_pcm() const { return wants_pcm_; }

    // The picture on screen from t_us until the next one, shared: no one changes it
    // any more.
    void picture(std::uint64_t t_us, std::shared_ptr<const Screen> screen);
    // As SoundEncoder::add.
    void sound(std::uint64_t t_us, const float* samples, std::size_t frames);
    // The sound device dropped what it held at t_us: the sound from then on that has
    // come is never played (the AC-3 frames that had started to play stay whole).
    void sound_dropped_from(std::uint64_t t_us);
    // No sound will come or be dropped for times before t_us any more: the sound up to
    // there is encoded, the AC-3 frames that start before it are handed over.
    void sound_final(std::uint64_t t_us);
    // An AC-3 frame (copied) that starts to play at t_us, kept until it is final.
    void ac3(std::uint64_t t_us, const std::uint8_t* data, std::size_t len);
    // Waits for the thread to do everything handed over, then closes the file.
    bool close(std::uint64_t end_us, std::string& why);

    std::uint64_t pictures() const { return pictures_; }
    // As CaptureWriter::ac3_left_out, once the file is closed.
    std::uint64_t ac3_left_out() const { return writer_.ac3_left_out(); }

private:
    struct Job {
        enum class Kind { Picture, Sound, Ac3 };
        Job() = default;
        Job(Kind k, std::uint64_t t, std::shared_ptr<const Screen> s = nullptr) : kind(k), t_us(t), screen(std::move(s)) {}
        Kind kind = Kind::Picture;
        std::uint64_t t_us = 0;
        std::shared_ptr<const Screen> screen;
        BoxChanges changed{};  // where screen differs from the picture before
        Packets packets;
        bool ok = true;  // the sound encoder made the packets without a failure
        std::vector<std::uint8_t> bytes;
    };
    void post(Job job);
    // What the sound encoder made at t_us, for the thread to write where it stands
    // among the pictures (nothing, when it made nothing and did not fail).
    void post_sound(std::uint64_t t_us, Packets packets, bool ok);
    // Hands over the AC-3 frames waiting that start before t_us.
    void post_ac3_before(std::uint64_t t_us);
    void run();
    void stop();

    CaptureWriter writer_;
    SoundEncoder sound_;  // on the caller's thread
    bool wants_pcm_ = false;
    std::deque<Job> ac3_waiting_;  // AC-3 frames not final yet, in time order
    std::uint64_t pictures_ = 0;
    std::shared_ptr<const Screen> last_;  // the last picture handed over
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;          // guarded by mutex_
    unsigned pictures_queued_ = 0;  // guarded by mutex_
    bool quit_ = false;             // guarded by mutex_
};

}  // namespace play
