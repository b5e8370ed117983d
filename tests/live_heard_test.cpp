// demo-play live as a desktop user hears and drives it: a PulseAudio of the test's own
// with a null sink as the default, the sink's monitor recorded with parec; Xvfb with a
// window manager, the window driven with xdotool. The recording is set against the
// soundtrack decoded frame by frame, as demo-play decodes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "play/ac3decoder.h"
#include "play/live.h"
#include "show/exit_status.h"
#include "show/vidparm.h"
#include "testbox.h"

extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace {

constexpr int kRate = play::Ac3Decoder::kRate;

// Times are taken from the steady clock: this machine's time of day may be set while
// the show plays.
std::uint64_t steady_us() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// The time of day less the steady clock's time.
double time_of_day_offset_us() {
    using namespace std::chrono;
    return double(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()) - double(steady_us());
}

// Starts args with stdout into out (or nowhere) and stderr nowhere.
pid_t spawn(const std::vector<std::string>& args, int out = -1) {
    pid_t pid = fork();
    if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(out >= 0 ? out : quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string output_of(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buf[512];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) text.append(buf, n);
        pclose(pipe);
    }
    return text;
}

// Waits for pid to end, at most seconds; its exit status, or -1 when it did not end.
int wait_exit(pid_t pid, double seconds) {
    for (int i = 0; i < int(seconds * 100); i++) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// The sink's monitor, recorded from before the show starts: mono samples, and the
// steady clock's time at which the first of them played (each block that arrives
// bounds it: its last sample had played when it arrived).
class Recorder {
public:
    void start() {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_ = spawn({"parec", "-d", "out.monitor", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                      "--latency-msec=10"},
                     fds[1]);
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            std::vector<std::int16_t> buf(4800);
            std::size_t bytes = 0;
            std::vector<std::uint8_t> carry;
            for (;;) {
                ssize_t n = read(fd, reinterpret_cast<char*>(buf.data()), buf.size() * 2);
                if (n <= 0) break;
                std::uint64_t now = steady_us();
                bytes += std::size_t(n);
                carry.insert(carry.end(), reinterpret_cast<std::uint8_t*>(buf.data()), reinterpret_cast<std::uint8_t*>(buf.data()) + n);
                std::size_t whole = carry.size() / 4 * 4;
                for (std::size_t i = 0; i < whole; i += 4) {
                    auto l = std::int16_t(carry[i] | carry[i + 1] << 8), r = std::int16_t(carry[i + 2] | carry[i + 3] << 8);
                    mono.push_back((float(l) + float(r)) / 65536.0f);
                }
                carry.erase(carry.begin(), carry.begin() + std::ptrdiff_t(whole));
                double first = double(now) - double(bytes / 4) * 1e6 / kRate;
                start_us = std::min(start_us, first);
            }
            close(fd);
        });
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }
    ~Recorder() { stop(); }

    std::vector<float> mono;
    double start_us = 1e300;

private:
    pid_t pid_ = -1;
    std::thread reader_;
};

// The main soundtrack from the end titles on, as demo-play's receiver decodes it.
std::vector<float> end_titles_sound() {
    testbox::Bytes ac3 = testbox::read_file(std::string(CONTENT_DIR) + "/main.ac3");
    const std::size_t frame = 192 * 4;  // bytes of a 192 kbit/s frame at 48 kHz
    play::Ac3Decoder decoder;
    std::vector<float> stereo, mono;
    for (std::size_t at = std::size_t(kThreedeeEnd) * frame; at + frame <= ac3.size(); at += frame)
        decoder.decode(ac3.data() + at, frame, stereo);
    for (std::size_t i = 0; i + 1 < stereo.size(); i += 2) mono.push_back((stereo[i] + stereo[i + 1]) / 2);
    return mono;
}

double rms(const float* x, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; i++) sum += double(x[i]) * x[i];
    return n == 0 ? 0 : std::sqrt(sum / double(n));
}

// Where the soundtrack starts in the recording: the envelopes in 1 ms blocks first,
// then the samples around the best block.
std::ptrdiff_t find_offset(const std::vector<float>& rec, const std::vector<float>& ref) {
    auto envelope = [](const std::vector<float>& x) {
        std::vector<float> e(x.size() / 48);
        for (std::size_t b = 0; b < e.size(); b++) e[b] = float(rms(x.data() + b * 48, 48));
        return e;
    };
    std::vector<float> er = envelope(rec), es = envelope(ref);
    const std::size_t n = std::min<std::size_t>(es.size(), 8000);
    if (er.size() < n) return -1;
    std::ptrdiff_t best = -1;
    double best_score = 0;
    for (std::size_t lag = 0; lag + n <= er.size(); lag++) {
        double dot = 0, power = 1e-12;
        for (std::size_t j = 0; j < n; j++) {
            dot += double(er[lag + j]) * es[j];
            power += double(er[lag + j]) * er[lag + j];
        }
        if (dot / std::sqrt(power) > best_score) {
            best_score = dot / std::sqrt(power);
            best = std::ptrdiff_t(lag);
        }
    }
    if (best < 0) return -1;
    std::ptrdiff_t fine = -1;
    best_score = -1e300;
    const std::size_t window = std::min<std::size_t>(ref.size(), 5 * kRate);
    for (std::ptrdiff_t k = best * 48 - 96; k <= best * 48 + 96; k++) {
        if (k < 0 || std::size_t(k) + window > rec.size()) continue;
        double dot = 0;
        for (std::size_t j = 0; j < window; j++) dot += double(rec[std::size_t(k) + j]) * ref[j];
        if (dot > best_score) {
            best_score = dot;
            fine = k;
        }
    }
    return fine;
}

struct Heard {
    std::ptrdiff_t offset = -1;       // the soundtrack's first sample in the recording
    std::size_t stray_windows = 0;    // half seconds that do not match the soundtrack there
    std::size_t longest_silence = 0;  // samples, while the soundtrack has sound
};

Heard compare(const std::vector<float>& rec, const std::vector<float>& ref) {
    Heard h;
    h.offset = find_offset(rec, ref);
    if (h.offset < 0) return h;
    const std::size_t k = std::size_t(h.offset), n = std::min(ref.size(), rec.size() - k);
    // Sample for sample, half a second at a time: a pause or a drift leaves every
    // later window off by the time it lost.
    for (std::size_t at = 0; at + kRate / 2 <= n; at += kRate / 2) {
        double level = rms(ref.data() + at, kRate / 2);
        if (level < 1e-3) continue;
        std::vector<float> diff(kRate / 2);
        for (std::size_t j = 0; j < diff.size(); j++) diff[j] = rec[k + at + j] - ref[at + j];
        if (rms(diff.data(), diff.size()) > 0.01 * level) h.stray_windows++;
    }
    std::size_t run = 0;
    for (std::size_t j = 0; j < n; j++) {
        bool silent = std::abs(rec[k + j]) < 2.0f / 32768;
        run = silent ? run + 1 : 0;
        // Silence counts where the soundtrack around it is not silent itself.
        if (run > h.longest_silence && j + 1 >= run && rms(ref.data() + j + 1 - run, run) > 1e-3) h.longest_silence = run;
    }
    return h;
}

struct Summary {
    int status = -1;
    std::string line;
    long output_underruns() const {
        std::size_t at = line.find(" in the sound output");
        if (at == std::string::npos) return -1;
        std::size_t from = line.rfind(' ', at - 1);
        return std::strtol(line.c_str() + from + 1, nullptr, 10);
    }
};

class Desktop : public testing::Test {
protected:
    void SetUp() override {
        // They take minutes and want the machine to themselves: run on their own, with
        // DEMO_LIVE_TESTS=1 ctest -L live.
        if (std::getenv("DEMO_LIVE_TESTS") == nullptr) GTEST_SKIP() << "DEMO_LIVE_TESTS is not set";
        for (const char* tool : {"pulseaudio", "parec", "pactl", "Xvfb", "xdotool", "openbox"})
            if (shell(std::string("command -v ") + tool) != 0) GTEST_SKIP() << tool << " is not installed";
        char tmpl[] = "/tmp/demo-live-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::string run = dir_ + "/run";
        ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
        setenv("HOME", dir_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        setenv("PULSE_RUNTIME_PATH", (run + "/pulse").c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + run + "/pulse/native").c_str(), 1);
        children_.push_back(spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                   "-L", "module-native-protocol-unix socket=" + run + "/pulse/native auth-anonymous=1",
                                   "-L", "module-null-sink sink_name=out rate=48000 channels=2"}));
        bool up = false;
        for (int i = 0; i < 100 && !up; i++) {
            up = output_of("pactl info 2>/dev/null").find("Default Sink: out") != std::string::npos;
            if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(up) << "the sound server did not start";

        pid_t xvfb = testbox::start_xvfb();
        ASSERT_GT(xvfb, 0) << "Xvfb did not start";
        children_.push_back(xvfb);
        // A window mapped while the window manager is still starting may be left
        // unmanaged and unmapped: the show starts once it is up (it has set the
        // desktops). Now and then openbox ends at once, with status 1 and not a word
        // said: it is started again.
        pid_t wm = spawn({"openbox"});
        bool managed = false;
        for (int i = 0; i < 100; i++) {
            managed = shell("xdotool get_num_desktops") == 0;
            if (managed) break;
            if (waitpid(wm, nullptr, WNOHANG) == wm) wm = spawn({"openbox"});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        children_.push_back(wm);
        ASSERT_TRUE(managed) << "the window manager did not start";
        setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
    }
    void TearDown() override {
        for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
            kill(*it, SIGTERM);
            waitpid(*it, nullptr, 0);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    // demo-play, live, from the end titles.
    pid_t start_show(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {std::string(BIN_DIR) + "/demo-play"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("4");
        int out = open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = spawn(args, out);
        close(out);
        return pid;
    }
    Summary end_of_show(pid_t pid, double seconds) {
        Summary s;
        s.status = wait_exit(pid, seconds);
        if (s.status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        testbox::Bytes out = testbox::read_file(dir_ + "/out.txt");
        s.line.assign(out.begin(), out.end());
        return s;
    }
    // The window of the show, once it is up.
    std::string window() {
        for (int i = 0; i < 100; i++) {
            std::string id = output_of("xdotool search --onlyvisible --name '^demo-play$' 2>/dev/null");
            if (!id.empty()) return id.substr(0, id.find('\n'));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return "";
    }

    // A whole live run of the end titles, recorded; how the pictures stand against the
    // sound as heard goes to lag_ms (the median over the run, pictures late when
    // positive).
    void play_and_compare(double& lag_ms) {
        std::vector<float> ref = end_titles_sound();
        ASSERT_GT(ref.size(), std::size_t(30 * kRate));
        Recorder recorder;
        recorder.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::string trace = dir_ + "/trace.jsonl";
        // The show's box keeps the time of day it started with, moved on by the steady
        // clock: its times are set on this one by the offset of the moment it starts.
        const double offset_us = time_of_day_offset_us();
        Summary s = end_of_show(start_show({"--trace", trace}), 120);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        recorder.stop();
        EXPECT_EQ(s.status, 0) << s.line;
        EXPECT_EQ(s.output_underruns(), 0) << s.line;

        Heard h = compare(recorder.mono, ref);
        ASSERT_GE(h.offset, 0) << "the soundtrack is not in the recording";
        EXPECT_EQ(h.stray_windows, 0u) << "the recording drifts from the soundtrack or breaks off";
        EXPECT_LE(h.longest_silence, std::size_t(kRate / 100)) << "a silence of " << h.longest_silence * 1000 / kRate << " ms";

        // The emulated device had played (n - 2) AC-3 frames of the stream when the show
        // wrote the first frame n of a pair; the pictures of that moment are shown when
        // the card's estimate of what is heard comes within kShowAhead of it: they are
        // late by how far the sound as heard is then ahead of that moment's estimate
        // (played less the lead), less kShowAhead.
        testbox::Bytes bytes = testbox::read_file(trace);
        std::string text(bytes.begin(), bytes.end());
        auto number = [&](std::size_t line, const char* key) {
            std::size_t at = text.find(key, line);
            return at == std::string::npos || at > text.find('\n', line) ? -1.0 : std::strtod(text.c_str() + at + std::strlen(key), nullptr);
        };
        double t0 = number(0, "\"time_of_day_us\":"), last_write = -1e9;
        std::vector<double> lags;
        for (std::size_t line = 0; line < text.size(); line = text.find('\n', line) + 1) {
            double n = number(line, "\"fcount\":"), t = number(line, "\"t_us\":");
            if (n < 0) continue;
            bool first_of_pair = t - last_write > 5000;
            last_write = t;
            double played = (n - kThreedeeEnd - 2) * 1536;
            if (!first_of_pair || played < 3 * kRate) continue;
            double shown = played - play::LiveSound::kLead + play::LiveSound::kShowAhead;
            double heard = (t0 - offset_us + t - recorder.start_us) * kRate / 1e6 - double(h.offset);
            lags.push_back((heard - shown) * 1000 / kRate);
        }
        ASSERT_GT(lags.size(), 100u);
        std::nth_element(lags.begin(), lags.begin() + std::ptrdiff_t(lags.size() / 2), lags.end());
        lag_ms = lags[lags.size() / 2];
        std::printf("pictures behind the sound as heard: %.1f ms (median of %zu)\n", lag_ms, lags.size());
    }

    std::string dir_;
    std::vector<pid_t> children_;
};

TEST_F(Desktop, TheMusicPlaysWholeAndThePicturesFollowIt) {
    double lag_ms = 0;
    play_and_compare(lag_ms);
    // One frame of the end titles.
    EXPECT_LT(std::abs(lag_ms), 20.0);
}

TEST_F(Desktop, ABusyProcessBesideTheShowMakesNoGapInTheMusic) {
    pid_t busy = fork();
    if (busy == 0) {
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
    }
    double lag_ms = 0;
    play_and_compare(lag_ms);
    kill(busy, SIGKILL);
    waitpid(busy, nullptr, 0);
    EXPECT_LT(std::abs(lag_ms), 20.0);
}

TEST_F(Desktop, AStalledOutputIsCountedAsAnUnderrun) {
    pid_t show = start_show();
    ASSERT_FALSE(window().empty());
    std::this_thread::sleep_for(std::chrono::seconds(4));
    // Nothing of demo-play runs for a third of a second, the card's thread neither:
    // the sound server runs dry.
    kill(show, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(show, SIGCONT);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    kill(show, SIGINT);
    Summary s = end_of_show(show, 10);
    EXPECT_EQ(s.status, exit_status_of_signal(SIGINT)) << s.line;
    EXPECT_GE(s.output_underruns(), 1) << s.line;
}

TEST_F(Desktop, EscapeAndClosingStopTheShowAndFTogglesFullScreen) {
    auto size = [](const std::string& id) {
        std::string g = output_of("xdotool getwindowgeometry " + id + " 2>/dev/null");
        std::size_t at = g.find("Geometry: ");
        return at == std::string::npos ? std::string() : g.substr(at + 10, g.find('\n', at) - at - 10);
    };
    auto until_size = [&](const std::string& id, const std::string& want) {
        for (int i = 0; i < 50 && size(id) != want; i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return size(id);
    };
    pid_t show = start_show();
    std::string id = window();
    ASSERT_FALSE(id.empty());
    shell("xdotool windowactivate --sync " + id);
    EXPECT_EQ(until_size(id, "1280x960"), "1280x960");
    shell("xdotool key --window " + id + " f");
    EXPECT_EQ(until_size(id, "1600x1200"), "1600x1200");
    shell("xdotool key --window " + id + " f");
    EXPECT_EQ(until_size(id, "1280x960"), "1280x960");
    shell("xdotool key --window " + id + " Escape");
    EXPECT_EQ(end_of_show(show, 10).status, exit_status_of_signal(SIGINT));

    show = start_show();
    id = window();
    ASSERT_FALSE(id.empty());
    shell("xdotool windowactivate --sync " + id);
    // The window manager's close, as from the title bar.
    shell("xdotool key --window " + id + " alt+F4");
    EXPECT_EQ(end_of_show(show, 10).status, exit_status_of_signal(SIGINT));
}

}  // namespace
