#include "play/capture_thread.h"

#include <utility>

namespace play {

CaptureThread::~CaptureThread() { stop(); }

bool CaptureThread::open(const CaptureSettings& settings, std::string& why) {
    if (!writer_.open(settings, why)) return false;
    wants_pcm_ = writer_.wants_pcm();
    thread_ = std::thread([this] { run(); });
    return true;
}

void CaptureThread::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void CaptureThread::post(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void CaptureThread::picture(std::uint64_t t_us, std::shared_ptr<const Screen> screen) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (pictures_queued_ == kPicturesAhead) changed_.wait(lock, [this] { return pictures_queued_ <= kPicturesResume; });
        pictures_queued_++;
    }
    pictures_++;
    post({Job::Kind::Picture, t_us, std::move(screen), {}, {}});
}

void CaptureThread::sound(std::uint64_t t_us, const float* samples, std::size_t frames) {
    post({Job::Kind::Sound, t_us, nullptr, std::vector<float>(samples, samples + 2 * frames), {}});
}

void CaptureThread::sound_final(std::uint64_t t_us) { post({Job::Kind::SoundFinal, t_us, nullptr, {}, {}}); }

void CaptureThread::ac3(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    post({Job::Kind::Ac3, t_us, nullptr, {}, std::vector<std::uint8_t>(data, data + len)});
}

void CaptureThread::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        switch (job.kind) {
        case Job::Kind::Picture: {
            writer_.picture(job.t_us, std::move(job.screen));
            bool resume = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                resume = --pictures_queued_ == kPicturesResume;
            }
            if (resume) changed_.notify_all();
            break;
        }
        case Job::Kind::Sound:
            writer_.sound(job.t_us, job.samples.data(), job.samples.size() / 2);
            break;
        case Job::Kind::SoundFinal:
            writer_.sound_final(job.t_us);
            break;
        case Job::Kind::Ac3:
            writer_.ac3(job.t_us, job.bytes.data(), job.bytes.size());
            break;
        }
    }
}

bool CaptureThread::close(std::uint64_t end_us, std::string& why) {
    // The thread does what is left before it ends.
    stop();
    return writer_.close(end_us, why);
}

}  // namespace play
