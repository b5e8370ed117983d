#include "play/records.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "box/signals.h"
#include "data/pngwrite.h"
#include "show/ac3audio.h"
#include "show/exit_status.h"

namespace play {

namespace {

// A stop signal caught, waiting to be delivered to the show.
std::atomic<int> caught_signal{0};
// The stop signals caught in this run, delivered or not.
std::atomic<int> stop_requests{0};

// A record that goes to a pipe or a device: its writes wait for the reader, and a stop
// request that comes while one waits does not cut it short (the request is for the show,
// at its next call, and the reader still gets whole records). From the second request
// on, for a reader that has stalled, they no longer wait: what cannot be written at once
// is not written, and the record cannot be written, as on a full disk.
struct WaitingRecord {
    std::FILE* file;
    bool waits = true;
};

ssize_t write_waiting(void* cookie, const char* data, std::size_t size) {
    WaitingRecord& record = *static_cast<WaitingRecord*>(cookie);
    const int fd = fileno(record.file);
    for (std::size_t done = 0; done < size;) {
        if (record.waits && stop_requests.load() >= 2) {
            record.waits = false;
            const int flags = fcntl(fd, F_GETFL);
            if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
        }
        const ssize_t n = write(fd, data + done, size - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n == 0 || errno != EINTR)
            return -1;
    }
    return ssize_t(size);
}

int close_waiting(void* cookie) {
    WaitingRecord* record = static_cast<WaitingRecord*>(cookie);
    const int result = std::fclose(record->file);
    delete record;
    return result;
}

// file, open on a pipe or a device, as a record that waits for its reader; null when it
// cannot be made one (file is closed then).
std::FILE* waiting_record(std::FILE* file) {
    auto* record = new WaitingRecord{file};
    std::FILE* waiting = fopencookie(record, "w", {nullptr, write_waiting, nullptr, close_waiting});
    if (waiting == nullptr) {
        std::fclose(file);
        delete record;
    }
    return waiting;
}

// The trace's lines: its times count from the box's clock when the run started, given
// in its first line (so that a live run's can be set beside other clocks); a request
// made while a write to the sound device is under way carries the number of the frame
// in the burst (fcount before the player counts it); the last line is the exit status.
std::string trace_start_line(std::uint64_t time_of_day_us) {
    return "{\"t_us\":0,\"req\":\"start\",\"time_of_day_us\":" + std::to_string(time_of_day_us) + "}\n";
}

std::string trace_line(std::uint64_t t_us, const std::string& json, bool writing, std::uint32_t frame) {
    std::string line = "{\"t_us\":" + std::to_string(t_us) + "," + json.substr(1);
    if (writing) line.insert(line.size() - 1, ",\"fcount\":" + std::to_string(frame));
    return line + '\n';
}

std::string trace_exit_line(std::uint64_t t_us, int status) {
    return "{\"t_us\":" + std::to_string(t_us) + ",\"req\":\"exit\",\"status\":" + std::to_string(status) + "}\n";
}

// The run whose show is running, for the way out when the show ends the program.
RecordedRun* active = nullptr;

}  // namespace

RecordedRun::RecordedRun(const Options& options, const char* player) : Run(options), player_(player) {}

std::array<RecordedRun::Record, 2> RecordedRun::records() {
    return {Record{&trace_, &options_.trace, &trace_made_}, Record{&dsp_out_, &options_.dsp_out, &dsp_out_made_}};
}

bool RecordedRun::open_records(std::string& why) {
    // A screenshot is written when its frame comes, a contact sheet once the show has
    // ended: a place one cannot go is refused before the show.
    std::vector<std::string> later;
    for (const Shot& shot : shots_) later.push_back(shot.path);
    if (!options_.sheet.empty()) later.push_back(options_.sheet);
    for (const std::string& path : later)
        if (!can_write_file(path, why)) {
            why = path + ": " + why;
            return false;
        }
    // Each record is opened without emptying it, and emptied once all of them are open:
    // a run refused here leaves a file that was there before as it was.
    for (auto [file, path, made] : records()) {
        if (path->empty()) continue;
        *made = access(path->c_str(), F_OK) != 0;
        if ((*file = std::fopen(path->c_str(), "ab")) == nullptr) {
            why = (errno == EINTR ? "stopped while opening " : "cannot write ") + *path;
            discard_records();
            return false;
        }
    }
    for (auto [file, path, made] : records()) {
        struct stat st;
        // A pipe or a device has nothing to empty.
        if (*file != nullptr && (fstat(fileno(*file), &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fileno(*file), 0) != 0))) {
            why = "cannot write " + *path;
            discard_records();
            return false;
        }
        if (*file != nullptr && !S_ISREG(st.st_mode) && (*file = waiting_record(*file)) == nullptr) {
            why = "cannot write " + *path;
            discard_records();
            return false;
        }
    }
    return true;
}

emu::Box& RecordedRun::start_box(emu::Config config) {
    config.root = options_.box_root.empty() ? PLAY_BOX_ROOT : options_.box_root;
    new_box(config);
    if (trace_ != nullptr) std::fputs(trace_start_line(t0_).c_str(), trace_);
    return *box_;
}

void RecordedRun::discard_records() {
    // A run that never started leaves no empty files of its own behind.
    for (auto [file, path, made] : records()) {
        if (*file == nullptr) continue;
        std::fclose(*file);
        *file = nullptr;
        if (*made) std::remove(path->c_str());
    }
}

int RecordedRun::run(ShowMain show, const char* program) {
    static bool registered = false;
    if (!registered) {
        on_exit(
            [](int status, void*) {
                RecordedRun* run = std::exchange(active, nullptr);
                if (run == nullptr) return;
                int final_status = run->finish(status);
                if (final_status != status) {
                    std::fflush(nullptr);
                    _exit(final_status);
                }
            },
            nullptr);
        registered = true;
    }
    active = this;
    int status = call_show(show, program, options_);
    active = nullptr;
    return finish(status);
}

void RecordedRun::request(std::uint64_t t_us, const std::string& json) {
    if (trace_ != nullptr) std::fputs(trace_line(t_us - t0_, json, writing_, fcount).c_str(), trace_);
}

void RecordedRun::dsp_write(std::uint64_t, const std::uint8_t* data, std::size_t len) {
    writing_ = true;
    if (dsp_out_ == nullptr || std::fwrite(data, 1, len, dsp_out_) == len) return;
    close_record(dsp_out_, options_.dsp_out);
}

void RecordedRun::close_record(std::FILE*& file, const std::string& path) {
    struct stat st;
    const bool regular = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    const bool whole = std::fflush(file) == 0 && std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !whole) {
        if (regular) std::remove(path.c_str());
        fail("cannot write " + path);
    }
    file = nullptr;
}

void RecordedRun::dsp_written(std::uint64_t) { writing_ = false; }

int RecordedRun::refused_status() {
    const int sig = caught_signal.load();
    return sig != 0 ? exit_status_of_signal(sig) : kExitCannotWrite;
}

void RecordedRun::catch_stop_signals() {
    box::catch_stop_signals([](int sig) {
        caught_signal = sig;
        stop_requests++;
    });
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void RecordedRun::box_call() {
    if (int sig = caught_signal.exchange(0)) box_->request_stop(sig);
    for (const Shot& shot : due_shots()) {
        take_screen(box_->fb, screen_);
        if (!write_png(shot.path, to_picture(screen_))) fail("cannot write " + shot.path);
    }
}

void RecordedRun::fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", player_, what.c_str());
    output_failed_ = true;
}

int RecordedRun::finish(int status) {
    box_->observer = nullptr;
    if (trace_ != nullptr) {
        std::fputs(trace_exit_line(now(), status).c_str(), trace_);
        close_record(trace_, options_.trace);
    }
    if (dsp_out_ != nullptr) close_record(dsp_out_, options_.dsp_out);
    for (const Shot& shot : shots_)
        std::fprintf(stderr, "%s: no shot %s%u (%s): the %s soundtrack never reached that frame\n", player_,
                     shot.prelude ? "prelude:" : "", unsigned(shot.frame), shot.path.c_str(),
                     shot.prelude ? "prelude's" : "main");
    return status_to_end_with(status);
}

}  // namespace play
