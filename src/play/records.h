// What demo-play and demo-record record of a run, in the same form, and how their runs
// end.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "play/run.h"
#include "play/screen.h"

namespace play {

// A run that records what its options ask for as it goes: the trace (one JSON line per
// device request), every byte written to the sound device, the screenshots as PNG
// pictures. What it says on standard error starts with the player's name.
class RecordedRun : public Run {
public:
    RecordedRun(const Options& options, const char* player);

    // From now on a stop signal to the player (SIGINT, SIGTERM, SIGHUP; one ignored when
    // it started stays ignored) is a signal to the box: the show stops at its next call
    // as it would there, and the records are finished on the way out. A record that goes
    // to a pipe or a device waits for its reader, a stop request or not; a second request
    // ends the waiting, for a reader that has stalled. An output that cannot go on (a pipe
    // whose reader has gone or stalled, a file at the size limit) cannot be written, as
    // on a full disk, and does not end the player.
    static void catch_stop_signals();

    // Opens the records; false, with why, when one cannot be made, a screenshot or the
    // contact sheet could not be written later, or a stop request came while one was
    // being opened (a pipe waits for its reader): then nothing is left of them.
    bool open_records(std::string& why);
    // The status a run that could not start ends with: 128 + the signal's number when
    // a stop request came before it could, as for a show stopped, otherwise
    // kExitCannotWrite.
    static int refused_status();
    // Makes the box of config, its file tree the options' box or this build's.
    emu::Box& start_box(emu::Config config);
    // Runs show as program to its end and returns the status to end with: finish's.
    // When the show ends the program itself with exit, finish is called on the way out
    // and the program ends with what it returns.
    int run(ShowMain show, const char* program);

    void request(std::uint64_t t_us, const std::string& json) override;
    void dsp_write(std::uint64_t t_us, const std::uint8_t* data, std::size_t len) override;
    void dsp_written(std::uint64_t t_us) override;
    void box_call() override;

protected:
    // The show has ended with status: the records are finished and closed, and shots
    // that never fell due are named. Returns the status to end with: kExitCannotWrite in
    // place of 0 when a record or another output could not be written. Called once.
    virtual int finish(int status);
    // An output could not be written: says so, and the run ends with kExitCannotWrite.
    void fail(const std::string& what);
    // The status to end with when the show ended with status.
    int status_to_end_with(int status) const { return output_failed_ && status == 0 ? kExitCannotWrite : status; }

    const char* const player_;
    bool output_failed_ = false;

private:
    // A record's file, its path, and whether this run made it.
    struct Record {
        std::FILE** file;
        const std::string* path;
        bool* made;
    };
    std::array<Record, 2> records();
    // Closes the records of a run that could not start, and removes those it made.
    void discard_records();
    // Closes a record; one that could not be written whole fails the run and, when it is
    // a file, is removed: nothing half-written is left under its name (a pipe or a
    // device keeps what it got).
    void close_record(std::FILE*& file, const std::string& path);
    std::FILE* trace_ = nullptr;
    std::FILE* dsp_out_ = nullptr;
    bool trace_made_ = false, dsp_out_made_ = false;
    bool writing_ = false;  // inside a write to the sound device
    Screen screen_;
};

}  // namespace play
