#include "play/capture_thread.h"

#include <utility>

namespace play {

CaptureThread::~CaptureThread() { stop(); }

bool CaptureThread::open(const CaptureSettings& settings, std::string& why) {
    wants_pcm_ = capture_kind(settings.path) == CaptureKind::Mp4;
    if (wants_pcm_ && !sound_.open(why)) return false;
    if (!writer_.open(settings, wants_pcm_ ? &sound_ : nullptr, why)) return false;
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
    Job job(Job::Kind::Picture, t_us, screen);
    job.changed = changes(last_.get(), *screen);
    last_ = std::move(screen);
    post(std::move(job));
}

void CaptureThread::sound(std::uint64_t t_us, const float* samples, std::size_t frames) { sound_.add(t_us, samples, frames); }

void CaptureThread::post_sound(std::uint64_t t_us, Packets packets, bool ok) {
    if (packets.empty() && ok) return;
    Job job(Job::Kind::Sound, t_us);
    job.packets = std::move(packets);
    job.ok = ok;
    post(std::move(job));
}

void CaptureThread::sound_dropped_from(std::uint64_t t_us) {
    if (wants_pcm_) return sound_.drop_from(t_us);
    while (!ac3_waiting_.empty() && ac3_waiting_.back().t_us >= t_us) ac3_waiting_.pop_back();
}

void CaptureThread::post_ac3_before(std::uint64_t t_us) {
    for (; !ac3_waiting_.empty() && ac3_waiting_.front().t_us < t_us; ac3_waiting_.pop_front()) post(std::move(ac3_waiting_.front()));
}

void CaptureThread::sound_final(std::uint64_t t_us) {
    if (!wants_pcm_) return post_ac3_before(t_us);
    Packets packets;
    bool ok = sound_.encode_until(t_us, packets);
    post_sound(t_us, std::move(packets), ok);
}

void CaptureThread::ac3(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) {
    Job& job = ac3_waiting_.emplace_back(Job::Kind::Ac3, t_us);
    job.bytes.assign(data, data + len);
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
            writer_.picture(job.t_us, *job.screen, job.changed);
            bool resume = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                resume = --pictures_queued_ == kPicturesResume;
            }
            if (resume) changed_.notify_all();
            break;
        }
        case Job::Kind::Sound:
            writer_.sound(job.t_us, job.packets, job.ok);
            break;
        case Job::Kind::Ac3:
            writer_.ac3(job.t_us, job.bytes.data(), job.bytes.size());
            break;
        }
    }
}

bool CaptureThread::close(std::uint64_t end_us, std::string& why) {
    // The sound ends with the first whole frame that reaches the end, written before
    // the last picture; what the encoder still holds comes after the pictures'.
    Packets flushed;
    bool flushed_ok = true;
    post_ac3_before(~std::uint64_t(0));
    if (wants_pcm_) {
        Packets last;
        bool ok = sound_.encode_to_end(end_us, last);
        post_sound(end_us, std::move(last), ok);
        flushed_ok = sound_.flush(flushed);
    }
    // The thread does what is left before it ends.
    stop();
    return writer_.close(end_us, flushed, flushed_ok, why);
}

}  // namespace play
