// A capture made beside the show: the pictures and the sound are handed to a thread of
// their own, which converts the pictures and feeds the encoders while the show goes on
// drawing the next ones. The thread does exactly what the show's thread would have
// done with a CaptureWriter, in the same order, so the file is the same bytes.
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
    bool wants_pcm() const { return wants_pcm_; }

    // As CaptureWriter's. The sound and the AC-3 frames are copied; a picture is
    // shared, as no one changes it any more.
    void picture(std::uint64_t t_us, std::shared_ptr<const Screen> screen);
    void sound(std::uint64_t t_us, const float* samples, std::size_t frames);
    void sound_final(std::uint64_t t_us);
    void ac3(std::uint64_t t_us, const std::uint8_t* data, std::size_t len);
    // Waits for the thread to do everything handed over, then closes the file.
    bool close(std::uint64_t end_us, std::string& why);

    std::uint64_t pictures() const { return pictures_; }

private:
    struct Job {
        enum class Kind { Picture, Sound, SoundFinal, Ac3 } kind;
        std::uint64_t t_us = 0;
        std::shared_ptr<const Screen> screen;
        std::vector<float> samples;
        std::vector<std::uint8_t> bytes;
    };
    void post(Job job);
    void run();
    void stop();

    CaptureWriter writer_;
    bool wants_pcm_ = false;
    std::uint64_t pictures_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;          // guarded by mutex_
    unsigned pictures_queued_ = 0;  // guarded by mutex_
    bool quit_ = false;             // guarded by mutex_
};

}  // namespace play
