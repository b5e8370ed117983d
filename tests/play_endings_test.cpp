// How demo-play and demo-record end when they do not run to the end: a signal stops
// the show the way a signal stops it on the box (sound stopped, console reset, exit
// 128 + the signal) and leaves finished files behind; a run that cannot start leaves
// none.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "play/options.h"
#include "show/exit_status.h"
#include "testbox.h"

namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The capture's file while it is being written.
std::string part_of(const std::string& path, pid_t pid) { return path + "." + std::to_string(pid) + ".part"; }

// Waits for the child: its exit status, -1 when a signal ended it.
int exit_status_of(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return testbox::exit_code(status);
}

// The lines of a text file (a trace), in order.
std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Starts demo-play capturing the end titles to dir/NAME.mp4 with a trace in
// dir/NAME.jsonl (SIGHUP ignored from the start if asked), and returns once the show's
// sound is playing, however slow the machine is: well before the capture's end.
pid_t start_capture(const std::string& dir, const std::string& name, bool hangup_ignored) {
    std::string program = std::string(BIN_DIR) + "/demo-play";
    pid_t child = fork();
    if (child == 0) {
        if (hangup_ignored) std::signal(SIGHUP, SIG_IGN);
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execl(program.c_str(), program.c_str(), "--capture", (dir + "/" + name + ".mp4").c_str(), "--trace",
              (dir + "/" + name + ".jsonl").c_str(), "4", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int waited = 0; waited < 600; waited++) {
        if (testbox::text_of(dir + "/" + name + ".jsonl").find("\"write\",\"dev\":\"/dev/dsp\"") != std::string::npos) break;
        usleep(50000);
    }
    return child;
}

TEST(PlaySignal, ATerminatedCaptureEndsLikeTheBoxAndFinishesItsFiles) {
    std::string dir = testbox::temp_dir();
    pid_t child = start_capture(dir, "cut", false);
    // Until it is complete the capture has a name of its own.
    EXPECT_TRUE(exists(part_of(dir + "/cut.mp4", child)));
    EXPECT_FALSE(exists(dir + "/cut.mp4"));
    kill(child, SIGTERM);
    EXPECT_EQ(exit_status_of(child), exit_status_of_signal(SIGTERM));

    const std::vector<std::string> lines = lines_of(dir + "/cut.jsonl");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.back().find("\"exit\",\"status\":143"), std::string::npos) << lines.back();
    EXPECT_NE(lines[lines.size() - 2].find("\"text\":\"\\u001bc\""), std::string::npos) << lines[lines.size() - 2];
    bool reset = false;
    for (const auto& l : lines) reset = reset || l.find("SNDCTL_DSP_RESET") != std::string::npos;
    EXPECT_TRUE(reset);
    // The video was finished: ffprobe reads its duration.
    std::string probe = "ffprobe -v error -show_entries format=duration -of csv=p=0 " + dir + "/cut.mp4 > " + dir + "/d.txt";
    ASSERT_EQ(std::system(probe.c_str()), 0);
    EXPECT_GT(std::stod(testbox::text_of(dir + "/d.txt")), 0.0);
    EXPECT_FALSE(exists(part_of(dir + "/cut.mp4", child)));
}

// Starts a player of this build with its standard error in err (and its standard output
// in out), its files limited to limit bytes if asked (the player makes writing past that
// fail, as on a full disk, rather than end it) and SIGINT caught as in a terminal, even
// when the tests run with it ignored.
pid_t start_player(const char* player, const std::vector<std::string>& args, const std::string& err, rlim_t limit = RLIM_INFINITY,
                   const std::string& out = "/dev/null") {
    pid_t child = fork();
    if (child == 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit fsize{limit, limit};
        if (limit != RLIM_INFINITY) setrlimit(RLIMIT_FSIZE, &fsize);
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(err.c_str(), "w", stderr);
        std::string program = std::string(BIN_DIR) + "/" + player;
        std::vector<char*> argv{program.data()};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Stopped while a pipe it is to write into waits for its reader, before the show has
// started, a player ends as stopped and leaves nothing it made; demo-record, stopped
// while it writes the sound device's bytes into a pipe, finishes its trace the same way
// as a capture, and the pipe's reader gets every byte the show wrote.
TEST(PlaySignal, AStoppedRecordingFinishesItsTraceOrLeavesNoneBeforeTheShow) {
    std::string dir = testbox::temp_dir();
    std::string fifo = dir + "/dsp.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string early = dir + "/early", err = dir + "/err.txt";
    for (auto [player, sig] : {std::pair{"demo-play", SIGINT}, std::pair{"demo-record", SIGTERM}}) {
        std::vector<std::string> args = {"--trace", early + ".jsonl", "--dsp-out", fifo};
        if (std::string(player) == "demo-play") args.insert(args.end(), {"--capture", early + ".mp4"});
        pid_t child = start_player(player, args, err);
        // The trace is made before the pipe is opened.
        for (int waited = 0; waited < 600 && !exists(early + ".jsonl"); waited++) usleep(50000);
        // A request that comes before the pipe's opening has begun waits for the show,
        // which never starts: it is made again until it comes while the player waits.
        int status = 0;
        bool ended = false;
        for (int asked = 0; asked < 300 && !ended; asked++) {
            kill(child, sig);
            usleep(100000);
            ended = waitpid(child, &status, WNOHANG) == child;
        }
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        ASSERT_TRUE(ended && WIFEXITED(status)) << player;
        EXPECT_EQ(WEXITSTATUS(status), exit_status_of_signal(sig)) << player;
        EXPECT_EQ(first_line(err), std::string(player) + ": stopped while opening " + fifo);
        EXPECT_FALSE(exists(early + ".jsonl")) << player;
        EXPECT_FALSE(exists(early + ".mp4")) << player;
        EXPECT_FALSE(exists(part_of(early + ".mp4", child))) << player;
    }

    pid_t child = start_player("demo-record", {"--trace", dir + "/rec.jsonl", "--dsp-out", fifo}, err);
    int fd = open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // Once the pipe has passed on 256 kB the recorder waits for the test to read more:
    // it is stopped there, while its write waits and while the pipe is still full when
    // it wakes, and then let run to its end.
    char buffer[65536];
    std::size_t got = 0;
    while (got < 4 * sizeof buffer) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got += std::size_t(n);
    }
    usleep(200000);
    kill(child, SIGTERM);
    usleep(200000);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) got += std::size_t(n);
    close(fd);
    EXPECT_EQ(exit_status_of(child), exit_status_of_signal(SIGTERM));
    EXPECT_EQ(testbox::text_of(err), "");
    const std::vector<std::string> trace = lines_of(dir + "/rec.jsonl");
    ASSERT_FALSE(trace.empty());
    std::size_t written = 0;
    const std::string dsp_write = "\"req\":\"write\",\"dev\":\"/dev/dsp\",\"bytes\":";
    for (const std::string& line : trace)
        if (std::size_t at = line.find(dsp_write); at != std::string::npos) written += std::stoul(line.substr(at + dsp_write.size()));
    EXPECT_NE(trace.back().find("\"exit\",\"status\":143"), std::string::npos) << trace.back();
    EXPECT_GT(got, 4 * sizeof buffer);
    EXPECT_EQ(got, written);
}

// A record whose reader has gone cannot be written, as on a full disk: the player says
// so and goes on, and the capture beside it is finished when the show is stopped. A
// reader that stalls holds the player at a stop request, so that it still gets whole
// records; a second request gives it up, and the run ends as stopped.
TEST(PlaySignal, ARecordWhoseReaderHasGoneOrStalledIsOneThatCannotBeWritten) {
    std::string dir = testbox::temp_dir();
    for (bool stalled : {false, true}) {
        const std::string name = dir + (stalled ? "/stalled" : "/gone");
        const std::string fifo = name + ".fifo", err = name + "-err.txt", capture = name + ".mp4", trace = name + ".jsonl";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        pid_t child = start_player("demo-play", {"--capture", capture, "--trace", trace, "--dsp-out", fifo, "4"}, err);
        int fd = open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        char buffer[4096];
        ASSERT_GT(read(fd, buffer, sizeof buffer), 0);
        const std::string said = "demo-play: cannot write " + fifo;
        if (stalled) {
            // The pipe fills, and the player waits for the test to read more.
            usleep(300000);
            kill(child, SIGTERM);
            usleep(300000);
            EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "did not wait for the reader";
            EXPECT_EQ(first_line(err), "");
        } else {
            close(fd);
            for (int waited = 0; waited < 600 && first_line(err) != said; waited++) usleep(50000);
            EXPECT_EQ(first_line(err), said);
        }
        kill(child, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int waited = 0; waited < 600 && !ended; waited++) {
            ended = waitpid(child, &status, WNOHANG) == child;
            if (!ended) usleep(50000);
        }
        if (stalled) close(fd);
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            ADD_FAILURE() << name << ": the player did not end";
            continue;
        }
        EXPECT_EQ(testbox::exit_code(status), exit_status_of_signal(SIGTERM)) << name;
        EXPECT_EQ(first_line(err), said);
        EXPECT_GT(testbox::read_file(capture).size(), 1000u);
        EXPECT_FALSE(exists(part_of(capture, child)));
        // The trace goes to a file: it is whole, up to the run's end.
        const std::vector<std::string> lines = lines_of(trace);
        const std::string last = lines.empty() ? "" : lines.back();
        EXPECT_NE(last.find("\"exit\",\"status\":143"), std::string::npos) << last;
    }
}

// Killed outright, out of room on the way, or stopped after running out of room, a
// capture leaves nothing under its name, and the summary says it was not made; nor do
// a screenshot, a trace or the sound device's bytes that cannot be written whole leave
// anything.
TEST(PlaySignal, OutputCutShortLeavesNoFileUnderItsName) {
    std::string dir = testbox::temp_dir();
    pid_t child = start_capture(dir, "killed", false);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(exists(dir + "/killed.mp4"));
    std::remove(part_of(dir + "/killed.mp4", child).c_str());

    const std::string err = dir + "/err.txt", out = dir + "/out.txt", full = dir + "/full.mp4";
    child = start_player("demo-play", {"--capture", full, "4"}, err, 1 << 20, out);
    EXPECT_EQ(exit_status_of(child), play::kExitCannotWrite);
    EXPECT_EQ(first_line(err).rfind("demo-play: " + full + ": cannot be written", 0), 0u) << first_line(err);
    const std::string summary = first_line(out);
    EXPECT_NE(summary.find("; " + full + " not made"), std::string::npos) << summary;
    EXPECT_EQ(summary.find(full + ": "), std::string::npos) << summary;
    EXPECT_FALSE(exists(full));
    EXPECT_FALSE(exists(part_of(full, child)));

    // Stopped once the file has reached the limit: the show ends through exit().
    const std::string stopped = dir + "/stopped.mp4";
    child = start_player("demo-play", {"--capture", stopped, "4"}, err, 1 << 20);
    struct stat st {};
    for (int waited = 0; waited < 600 && (stat(part_of(stopped, child).c_str(), &st) != 0 || st.st_size < (1 << 20)); waited++)
        usleep(50000);
    kill(child, SIGTERM);
    EXPECT_EQ(exit_status_of(child), exit_status_of_signal(SIGTERM));
    EXPECT_EQ(first_line(err).rfind("demo-play: " + stopped + ": cannot be written", 0), 0u) << first_line(err);
    EXPECT_FALSE(exists(stopped));
    EXPECT_FALSE(exists(part_of(stopped, child)));

    const std::string shot = dir + "/shot.png";
    child = start_player("demo-record", {"--shot", "300:" + shot, "4"}, err, 1024);
    EXPECT_EQ(exit_status_of(child), play::kExitCannotWrite);
    EXPECT_EQ(first_line(err), "demo-record: cannot write " + shot);
    EXPECT_FALSE(exists(shot));
    EXPECT_FALSE(exists(part_of(shot, child)));

    const std::string trace = dir + "/t.jsonl", dsp = dir + "/d.bin";
    child = start_player("demo-record", {"--trace", trace, "--dsp-out", dsp, "4"}, err, 1 << 16);
    EXPECT_EQ(exit_status_of(child), play::kExitCannotWrite);
    const std::vector<std::string> said = lines_of(err);
    EXPECT_EQ(said, (std::vector<std::string>{"demo-record: cannot write " + dsp, "demo-record: cannot write " + trace}));
    EXPECT_FALSE(exists(trace));
    EXPECT_FALSE(exists(dsp));
}

// Started with SIGHUP ignored (nohup), demo-play keeps it ignored as the box program
// does; other signals still stop the show.
TEST(PlaySignal, AHangUpIgnoredAtStartStaysIgnored) {
    pid_t child = start_capture(testbox::temp_dir(), "hup", true);
    kill(child, SIGHUP);
    usleep(300000);
    kill(child, SIGTERM);
    EXPECT_EQ(exit_status_of(child), exit_status_of_signal(SIGTERM));
}

TEST(PlaySignal, ARunThatCannotStartLeavesNoFiles) {
    std::string dir = testbox::temp_dir();
    std::string cmd = std::string(BIN_DIR) + "/demo-play --fast --trace " + dir + "/t.jsonl --dsp-out " + dir +
                      "/missing/d.bin 4 2>/dev/null";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), play::kExitCannotWrite);
    EXPECT_TRUE(testbox::read_file(dir + "/t.jsonl").empty());
    EXPECT_FALSE(std::ifstream(dir + "/t.jsonl").good());

    // A record that was there before a refused run is left as it was, whichever output
    // was refused.
    const std::string kept = "{\"t_us\":0,\"req\":\"start\"}\n";
    for (const std::string& refused : {"--dsp-out " + dir + "/missing/d.bin", "--capture " + dir + "/missing/show.mp4",
                                       "--sheet " + dir + "/missing/sheet.png", "--shot 300:" + dir + "/missing/shot.png"}) {
        testbox::write_file(dir + "/kept.jsonl", testbox::Bytes(kept.begin(), kept.end()));
        cmd = std::string(BIN_DIR) + "/demo-play --fast --trace " + dir + "/kept.jsonl " + refused + " 4 2>/dev/null";
        status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), play::kExitCannotWrite) << refused;
        EXPECT_EQ(testbox::text_of(dir + "/kept.jsonl"), kept) << refused;
    }
}

}  // namespace
