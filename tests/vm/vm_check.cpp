// What the box program did on a real kernel, read from the directories the plans left
// in the machine's results (VM_OUT, see plans.sh), against the data file, the
// emulated box and the word list. ShortForm reads short/ and smallfb/, WholeShow full/.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "box/emu/iec61937.h"
#include "modeset.h"
#include "show/exit_status.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

constexpr std::uint64_t kBurstUs = 32000;          // 1536 samples at 48 kHz
constexpr double kCaptureBytesPerUs = 48000 * 4 / 1e6;

std::string run_dir(const std::string& plan, const std::string& run) {
    const char* out = std::getenv("VM_OUT");
    return std::string(out != nullptr ? out : ".") + "/" + plan + "/" + run;
}

// The exit status the plan wrote, or -1 when the run did not happen.
int status_of(const std::string& dir) {
    std::string s = testbox::text_of(dir + "/status");
    return s.empty() ? -1 : std::atoi(s.c_str());
}

// The bursts found in a byte stream as the sound device played it, with the time each
// starts at from the stream's first byte.
struct Received {
    std::vector<Bytes> frames;
    std::vector<std::uint64_t> start_us;
    std::uint64_t bad_bursts = 0;
};

Received receive(const Bytes& stream) {
    Received r;
    emu::Iec61937Receiver receiver;
    receiver.on_frame = [&](std::uint64_t t_us, const std::uint8_t* frame, std::size_t len) {
        r.frames.emplace_back(frame, frame + len);
        r.start_us.push_back(t_us);
    };
    receiver.feed(0, stream.data(), stream.size());
    r.bad_bursts = receiver.bad_bursts;
    return r;
}

// How many bytes two frames share from their starts.
std::size_t common_start(const Bytes& a, const Bytes& b) {
    return std::size_t(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

// Whether every byte of f from `from` on is 0.
bool zeros_from(const Bytes& f, std::size_t from) {
    return std::all_of(f.begin() + long(from), f.end(), [](std::uint8_t b) { return b == 0; });
}

// A frame that is not in the soundtrack, told by the one it starts like: "?(768 bytes:
// frame 128's first 760, then zeros)".
std::string unknown_frame(const Bytes& f, const std::vector<Bytes>& soundtrack) {
    std::size_t best = 0, common = 0;
    for (std::size_t i = 0; i < soundtrack.size(); i++)
        if (std::size_t n = common_start(f, soundtrack[i]); n > common) best = i, common = n;
    bool zeros_after = zeros_from(f, common);
    return "?(" + std::to_string(f.size()) + " bytes: frame " + std::to_string(best) + "'s first " + std::to_string(common) +
           (zeros_after ? ", then zeros)" : ", then other bytes)");
}

// The frames as runs of soundtrack frame numbers, "5140-6239" or "2126-2129 5140-6239",
// a frame that is not in the soundtrack described by unknown_frame.
std::string as_runs(const std::vector<Bytes>& frames, const std::vector<Bytes>& soundtrack) {
    std::unordered_map<std::string, long> number;
    for (std::size_t i = 0; i < soundtrack.size(); i++) number.emplace(std::string(soundtrack[i].begin(), soundtrack[i].end()), long(i));
    std::string runs, unknown;
    long first = -2, last = -2;
    auto close_run = [&] {
        if (first == -2) return;
        if (!runs.empty()) runs += ' ';
        runs.append(first < 0 ? unknown : std::to_string(first));
        if (last != first) runs.append("-").append(std::to_string(last));
    };
    for (const Bytes& f : frames) {
        auto it = number.find(std::string(f.begin(), f.end()));
        long n = it == number.end() ? -1 : it->second;
        if (n >= 0 && n == last + 1 && first >= 0) {
            last = n;
            continue;
        }
        close_run();
        first = last = n;
        if (n < 0) unknown = unknown_frame(f, soundtrack);
    }
    close_run();
    return runs;
}

// Expects frames to be soundtrack[from..from + frames.size()), all the rest of it when
// whole; tells which frames came instead.
void expect_frames(const std::vector<Bytes>& frames, const std::vector<Bytes>& soundtrack, std::size_t from, bool whole,
                   const std::string& what) {
    std::size_t end = whole ? soundtrack.size() : std::min(soundtrack.size(), from + frames.size());
    std::vector<Bytes> expected(soundtrack.begin() + long(std::min(from, end)), soundtrack.begin() + long(end));
    EXPECT_TRUE(frames == expected) << what << ": " << frames.size() << " frames, soundtrack frames "
                                    << as_runs(frames, soundtrack) << ", not " << from << "-" << end - 1;
}

// When the playback side has drained at close, the loopback may still copy a few stale
// bytes of its ring buffer to the capture side: bursts that start within kLeftoverUs of
// the end of the show's last one (the soundtrack's last frame) are the capture's
// unreliable end and are dropped. Nothing is dropped when the last frame is not there
// or later bursts follow.
constexpr std::uint64_t kLeftoverUs = 250000;
void drop_leftovers(Received& r, const Bytes& last_frame) {
    std::size_t last = r.frames.size();
    while (last > 0 && r.frames[last - 1] != last_frame) last--;
    if (last == 0) return;
    std::uint64_t end = r.start_us[last - 1] + kBurstUs;
    if (r.start_us.back() >= end + kLeftoverUs) return;
    r.frames.resize(last);
    r.start_us.resize(last);
}

// The first burst that did not follow the one before it directly (the device ran dry
// or held it back), as "burst N of M, D ms late"; empty when there is none.
std::string first_late_burst(const Received& r) {
    for (std::size_t i = 1; i < r.start_us.size(); i++) {
        std::uint64_t gap = r.start_us[i] - r.start_us[i - 1];
        if (gap > kBurstUs + 1)
            return "burst " + std::to_string(i) + " of " + std::to_string(r.start_us.size()) + ", " +
                   std::to_string((gap - kBurstUs) / 1000) + " ms late";
    }
    return "";
}

// The end titles' capture: what the show sent from frame 5140 to the end, the capture's
// unreliable end dropped.
Received titles_capture() {
    Received r = receive(testbox::read_file(run_dir("short", "titles") + "/capture.raw"));
    drop_leftovers(r, testbox::soundtrack_frames(DATA_FILE, "main soundtrack").back());
    return r;
}

void expect_silent_exit(const std::string& dir, int status) {
    EXPECT_EQ(status_of(dir), status) << dir;
    EXPECT_EQ(testbox::text_of(dir + "/stdout"), "") << dir;
    EXPECT_EQ(testbox::text_of(dir + "/stderr"), "") << dir;
}

// A run that played to the end of the soundtrack whose last frame is given: exit 0,
// nothing printed, and every burst its capture holds whole; the capture's unreliable
// end dropped.
Received played_to_the_end(const std::string& dir, const Bytes& last_frame) {
    expect_silent_exit(dir, 0);
    Received r = receive(testbox::read_file(dir + "/capture.raw"));
    EXPECT_EQ(r.bad_bursts, 0u) << dir;
    drop_leftovers(r, last_frame);
    return r;
}

// The framebuffer's mode, virtual size, pan and colour map after the run equal what the
// run found.
void expect_box_as_found(const std::string& dir) {
    std::istringstream before(testbox::text_of(dir + "/fb-before")), after(testbox::text_of(dir + "/fb-after"));
    std::string b, a;
    int lines = 0, differences = 0;
    for (; std::getline(before, b); lines++) {
        std::getline(after, a);
        if (a != b && ++differences <= 4) ADD_FAILURE() << dir << ": found \"" << b << "\", left \"" << a << '"';
    }
    EXPECT_EQ(differences, 0) << dir << ": lines left changed";
    EXPECT_EQ(lines, 259) << dir << ": mode, virtual size, pan and 256 colours";
}

// Where the capture stood at monotonic time t_us: the loopback's capture side runs in
// real time, so the bytes read by the last read before t_us, plus the time since.
double capture_position_at(const std::string& log_path, long long t_us) {
    std::ifstream log(log_path);
    std::string word;
    long long fragment = 0, t = 0, total = 0, last_t = 0, last_total = 0;
    log >> word >> fragment;
    while (log >> t >> total && t <= t_us) {
        last_t = t;
        last_total = total;
    }
    EXPECT_GT(last_t, 0) << "the capture had read nothing before " << t_us;
    return double(last_total) + double(t_us - last_t) * kCaptureBytesPerUs;
}

TEST(ShortForm, EndTitlesExitZeroSilentlyAndPlayTheMainSoundtrackFrom5140) {
    expect_silent_exit(run_dir("short", "titles"), 0);
    Received r = titles_capture();
    EXPECT_EQ(r.bad_bursts, 0u);
    expect_frames(r.frames, testbox::soundtrack_frames(DATA_FILE, "main soundtrack"), 5140, true, "capture");
}

TEST(ShortForm, EndTitlesBurstsFollowOneAnotherWithoutAGapToTheLast) {
    // The capture side was opened first, so the loopback granted large periods: the
    // last bursts play on time only if the show sends its partial period on.
    Received r = titles_capture();
    ASSERT_GT(r.frames.size(), 2u);
    EXPECT_EQ(first_late_burst(r), "");
}

TEST(ShortForm, EndTitlesReachTheEmulatedBoxAsTheyReachedTheKernel) {
    const std::string out = run_dir("short", "emulated.dsp");
    const std::string command = std::string(REFERENCE_PLAYER) + " --box " + BOX_ROOT + " --dsp-out " + out + " 4";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    Received emulated = receive(testbox::read_file(out));
    std::remove(out.c_str());
    Received kernel = titles_capture();
    EXPECT_EQ(emulated.bad_bursts, 0u);
    ASSERT_FALSE(emulated.frames.empty());
    EXPECT_TRUE(kernel.frames == emulated.frames)
        << "the kernel's: " << as_runs(kernel.frames, testbox::soundtrack_frames(DATA_FILE, "main soundtrack"))
        << "; the emulated box's: " << as_runs(emulated.frames, testbox::soundtrack_frames(DATA_FILE, "main soundtrack"));
}

TEST(ShortForm, FailureExitsOnTheKernel) {
    expect_silent_exit(run_dir("short", "nodata"), kExitNoFile);       // /mnt/show.dat moved away
    expect_silent_exit(run_dir("short", "nodsp"), kExitSetUpFailed);   // /dev/dsp moved away
    expect_silent_exit(run_dir("smallfb", "smallfb"), kExitSetUpFailed);  // vfb with 1228800 bytes
    // A program for another CPU: the kernel refuses it (vmtool exec exits 126 with the
    // error's name).
    EXPECT_EQ(status_of(run_dir("short", "alien")), 126);
    EXPECT_EQ(testbox::text_of(run_dir("short", "alien") + "/stdout"), "ENOEXEC\n");
}

// Whether a received frame is a sent one, whole or cut short: equal up to a point and
// only zeros after it.
bool cut_copy_of(const Bytes& got, const Bytes& sent) {
    return got.size() == sent.size() && zeros_from(got, common_start(got, sent));
}

// A stop at once cuts the burst that is playing: where the capture's last frame is the
// start of the soundtrack's next one with zeros after it, it is dropped.
void drop_cut_burst(Received& r, const std::vector<Bytes>& soundtrack) {
    if (r.frames.empty() || r.frames.size() > soundtrack.size()) return;
    const Bytes& last = r.frames.back();
    const Bytes& next = soundtrack[r.frames.size() - 1];
    if (last == next || !cut_copy_of(last, next)) return;
    r.frames.pop_back();
    r.start_us.pop_back();
}

// Where the device ran dry, the loopback's capture may hold, after the show's last
// bytes and before the underrun's zeros, what the playback ring held there from before:
// the OSS layer asks the PCM core to keep a period and 16 frames of silence ahead of the
// last byte written, but 6.1's silencer tops up only from that byte and counts from the
// hardware position before each update, so with more than that queued it writes
// nothing, and the loopback copies the ring by the time elapsed since its last timer
// tick before the update that finds the underrun (README.md): a tick's worth, or more
// where the tick came late. Those bytes are bursts the show sent a ring's length (10.9 s
// on the loopback) or a recovery earlier: bursts directly before a gap in the stream
// that are frames the capture held kStaleUs or more earlier, whole or cut short with
// zeros after, are dropped. The show and the OSS layer never hold more than 0.3 s, so a
// burst the show sent twice is not taken for one. Returns how many were dropped.
constexpr std::uint64_t kStaleUs = 1000000;
std::size_t drop_stale_copies(Received& r) {
    auto stale = [&](std::size_t k) {
        for (std::size_t j = 0; j < k && r.start_us[j] + kStaleUs <= r.start_us[k]; j++)
            if (cut_copy_of(r.frames[k], r.frames[j])) return true;
        return false;
    };
    std::size_t dropped = 0;
    for (std::size_t gap = r.frames.size(); gap-- > 1;) {
        if (r.start_us[gap] <= r.start_us[gap - 1] + kBurstUs + 1) continue;
        std::size_t first = gap;
        while (first > 1 && stale(first - 1)) first--;
        r.frames.erase(r.frames.begin() + long(first), r.frames.begin() + long(gap));
        r.start_us.erase(r.start_us.begin() + long(first), r.start_us.begin() + long(gap));
        dropped += gap - first;
        gap = first;
    }
    return dropped;
}

TEST(ShortForm, SigtermInTheFireEndsWith143AndStopsTheSoundAtOnce) {
    const std::string dir = run_dir("short", "sigterm");
    expect_silent_exit(dir, exit_status_of_signal(SIGTERM));
    Bytes capture = testbox::read_file(dir + "/capture.raw");
    Received r = receive(capture);
    std::vector<Bytes> main = testbox::soundtrack_frames(DATA_FILE, "main soundtrack");
    drop_cut_burst(r, main);
    // The fire runs from frame 182 to 1226; the soundtrack played from 0 up to then.
    EXPECT_GT(r.frames.size(), 182u);
    EXPECT_LT(r.frames.size(), 1226u);
    expect_frames(r.frames, main, 0, false, "capture");

    // The show holds 64 to 128 ms of sound in the device when it polls; stopped at
    // once, none of it plays after the signal.
    long long stop_us = std::atoll(testbox::text_of(dir + "/stop-time").c_str());
    double at_stop = capture_position_at(dir + "/capture.log", stop_us);
    std::size_t last = capture.size();
    while (last > 0 && capture[last - 1] == 0) last--;
    EXPECT_LT(double(last), at_stop + 20000 * kCaptureBytesPerUs)
        << "sound went on for " << (double(last) - at_stop) / kCaptureBytesPerUs / 1000 << " ms after the signal";
}

TEST(ShortForm, SigtermWhileWaitingForABusySoundDeviceEndsWith143) {
    // The signal comes while open blocks; the open goes on once the device is free, and
    // the stop takes effect at the show's next device call.
    expect_silent_exit(run_dir("short", "busydsp"), exit_status_of_signal(SIGTERM));
}

TEST(ShortForm, EveryWordMaskFromTheRealConsoleHasInkAcrossTheWord) {
    // The list as the show prints it: words ended by line feeds, the last by a 0.
    std::string list = testbox::text_of(WORDS_FILE);
    list = list.substr(0, list.find('\0'));
    std::vector<std::string> words;
    std::istringstream lines(list);
    for (std::string w; std::getline(lines, w);) words.push_back(w);
    ASSERT_EQ(words.size(), 8u);

    Bytes dump = testbox::read_file(run_dir("short", "words.bin"));
    constexpr int kCols = 159, kRows = 120;
    ASSERT_EQ(dump.size(), 9u + 8 * kCols * kRows);
    EXPECT_EQ(dump[0], 8);
    for (int w = 0; w < 8; w++) {
        const int n = int(words[w].size());
        EXPECT_EQ(dump[1 + w], n) << words[w];
        const std::uint8_t* mask = dump.data() + 9 + w * kCols * kRows;
        // Glyph pixel (x, y) of letter k becomes the 3 x 3 block at row 54 + 3y and
        // column 79 - 12n + 24k + 3x.
        const int left = 79 - 12 * n, right = left + 24 * n;
        std::vector<int> ink_per_letter(std::size_t(n), 0);
        for (int r = 0; r < kRows; r++) {
            for (int c = 0; c < kCols; c++) {
                std::uint8_t v = mask[r * kCols + c];
                if (v == 0) continue;
                ASSERT_EQ(v, 160) << words[w];
                ASSERT_TRUE(r >= 54 && r < 78 && c >= left && c < right)
                    << words[w] << ": ink at row " << r << " column " << c << " outside the word";
                int top = r - (r - 54) % 3, first = c - (c - left) % 3;
                for (int d = 0; d < 9; d++)
                    ASSERT_EQ(mask[(top + d / 3) * kCols + first + d % 3], 160) << words[w] << ": a broken 3 x 3 block";
                ink_per_letter[std::size_t((c - left) / 24)]++;
            }
        }
        for (int k = 0; k < n; k++) EXPECT_GT(ink_per_letter[std::size_t(k)], 0) << words[w] << ": letter " << k << " has no ink";
    }
}

TEST(ShortForm, StoppedAndContinuedInTheFireTheShowEndsNormallyWithEveryBurstWholeAndInOrder) {
    // A write to the sound device that a stop cuts short is continued: no burst is
    // broken, lost or sent twice. Each stop runs the device dry (it holds 64 to 128 ms):
    // the ring's stale bytes before each underrun are the kernel's.
    std::vector<Bytes> main = testbox::soundtrack_frames(DATA_FILE, "main soundtrack");
    Received r = played_to_the_end(run_dir("short", "stopcont"), main.back());
    std::size_t stale = drop_stale_copies(r);
    if (stale > 0) std::printf("stale bursts before the underruns, dropped: %zu\n", stale);
    expect_frames(r.frames, main, 0, true, "capture");
}

TEST(ShortForm, AModeSetGivesTheDisplayBackToTheConsoleAsOnTheEmulatedBox) {
    // The kernel's framebuffer console, showing text, pans to the top after a mode set
    // and draws its text again over the first page.
    const std::string kernel = testbox::text_of(run_dir("short", "modeset.txt"));
    ASSERT_FALSE(kernel.empty());
    testbox::fresh_box();
    EXPECT_EQ(vmprobe::mode_set_steps(), kernel);
}

// The titles ran on a console that shows its cursor: its blink timer, which draws the
// cursor's cell (an 8 x 8 block of colour 7 on a blank cell) every 200 ms, drew nothing
// into the first cell in the eight seconds watched (`vmtool watch` lines: ms, pan,
// and how many of its 64 pixels are 0, 7 and anything else).
TEST(ShortForm, AConsoleThatShowsItsCursorDrawsNoBlockIntoTheShow) {
    std::istringstream watch(testbox::text_of(run_dir("short", "titles") + "/cell"));
    std::string line;
    int lines = 0, blocks = 0;
    for (; std::getline(watch, line); lines++) blocks += line.find(" sevens 64 ") != std::string::npos;
    EXPECT_GT(lines, 1) << "the titles drew into the first cell";
    EXPECT_EQ(blocks, 0) << "of " << lines << " changes of the first cell";
}

TEST(ShortForm, TheBoxIsLeftAsItWasFoundAfterEveryExit) {
    for (const char* run : {"titles", "nodata", "nodsp", "alien", "sigterm", "busydsp", "stopcont"})
        expect_box_as_found(run_dir("short", run));
    expect_box_as_found(run_dir("smallfb", "smallfb"));
}

TEST(WholeShow, ExitsZeroSilentlyAfterBothSoundtracksInOrder) {
    const std::string dir = run_dir("full", "full");
    std::vector<Bytes> prelude = testbox::soundtrack_frames(DATA_FILE, "prelude soundtrack");
    std::vector<Bytes> main = testbox::soundtrack_frames(DATA_FILE, "main soundtrack");
    Received r = played_to_the_end(dir, main.back());
    ASSERT_EQ(r.frames.size(), prelude.size() + main.size());
    std::vector<Bytes> main_part(r.frames.begin() + long(prelude.size()), r.frames.end());
    r.frames.resize(prelude.size());
    expect_frames(r.frames, prelude, 0, true, "prelude");
    expect_frames(main_part, main, 0, true, "main soundtrack");
    std::printf("bursts: %zu prelude + %zu main\n", prelude.size(), main.size());
    expect_box_as_found(dir);
}

}  // namespace
