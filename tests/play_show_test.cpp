// The whole show through demo-play, run as a program (the show's module state starts
// at zero once per process): screenshots of a fast run, captures of a section, the run
// without a display, and the ways it ends early.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

#include "data/datafile.h"
#include "data/pngwrite.h"
#include "play/options.h"
#include "show/exit_status.h"
#include "testbox.h"
#include "testshow.h"

namespace {

using testbox::Bytes;

std::string dir() { return testbox::temp_dir(); }

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs demo-play (or another player of this build) in directory cwd with args, its
// environment changed by env (a prefix for env(1), e.g. "-u DISPLAY").
Result demo_play(const std::string& args, const std::string& env = "", const std::string& cwd = dir(),
                 const std::string& player = "demo-play") {
    std::string out = dir() + "/stdout.txt", err = dir() + "/stderr.txt";
    std::string cmd = "cd " + cwd + " && env " + env + " " + BIN_DIR + "/" + player + " " + args + " >" + out + " 2>" + err;
    int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = testbox::text_of(out);
    r.err = testbox::text_of(err);
    return r;
}

TEST(PlayShow, ShotsOfThePreludeAndTheMainSoundtrack) {
    Result r = demo_play("--fast --shot prelude:40:" + dir() + "/p.png --shot 300:" + dir() + "/m.png");
    ASSERT_EQ(r.status, 0) << r.err;
    PalettePicture shots[2];
    for (int i = 0; i < 2; i++) {
        const char* name = i == 0 ? "/p.png" : "/m.png";
        ASSERT_TRUE(decode_png(testbox::read_file(dir() + name), shots[i])) << name;
        EXPECT_EQ(shots[i].width, 640);
        EXPECT_EQ(shots[i].height, 480);
        ASSERT_EQ(shots[i].palette.size(), 256u);
    }
    // Prelude frame 40: the picture is up but the colour map is still black (the fade
    // starts at frame 174).
    for (const auto& c : shots[0].palette) EXPECT_EQ(c[0] | c[1] | c[2], 0);
    // Main frame 300: the fire burns, in its own palette, below line 40 only.
    EXPECT_EQ(shots[1].palette[160], (std::array<std::uint8_t, 3>{255, 255, 255}));
    int above = 0, flames = 0;
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            std::uint8_t v = shots[1].pixels[std::size_t(y * 640 + x)];
            if (y < 40) above += v != 0;
            if (y >= 400 && y < 468) flames += v >= 110;
        }
    EXPECT_EQ(above, 0);
    EXPECT_GT(flames, 1000);
}

TEST(PlayShow, CapturesOfASectionAreTheSameBytesWithSoundAndPicturesTogether) {
    Result a = demo_play("--capture " + dir() + "/a.mp4 --sheet " + dir() + "/a.png 4");
    ASSERT_EQ(a.status, 0) << a.err;
    Result b = demo_play("--capture " + dir() + "/b.mp4 4");
    ASSERT_EQ(b.status, 0) << b.err;
    Bytes one = testbox::read_file(dir() + "/a.mp4"), two = testbox::read_file(dir() + "/b.mp4");
    ASSERT_GT(one.size(), 10000u);
    EXPECT_TRUE(one == two);
    EXPECT_GT(testbox::read_file(dir() + "/a.png").size(), 1000u);

    std::string cmd = "ffprobe -v error -show_entries stream=codec_name,start_time,duration -of csv=p=0 " + dir() +
                      "/a.mp4 >" + dir() + "/probe.txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string probe = testbox::text_of(dir() + "/probe.txt");
    double v_start = -1, v_len = -1, a_start = -1, a_len = -1;
    char codec[2][16] = {};
    ASSERT_EQ(std::sscanf(probe.c_str(), "%15[^,],%lf,%lf %15[^,],%lf,%lf", codec[0], &v_start, &v_len, codec[1], &a_start, &a_len), 6)
        << probe;
    EXPECT_STREQ(codec[0], "h264");
    EXPECT_STREQ(codec[1], "aac");
    EXPECT_EQ(v_start, 0.0);
    EXPECT_EQ(a_start, 0.0);
    EXPECT_NEAR(a_len, v_len, 1536.0 / 48000);
}

TEST(PlayShow, WithoutADisplayItCapturesAndSaysWhere) {
    // No display named, or one named that does not answer (where SDL would open a window
    // that shows nothing). SDL's look at the display opens the D-Bus session bus, whose
    // library keeps a buffer for good: not this program's leak, in a sanitizer build.
    const std::string dbus = dir() + "/dbus.supp";
    std::ofstream(dbus) << "leak:libdbus-1.so\n";
    const std::pair<std::string, const char*> cases[] = {
        {"-u DISPLAY -u WAYLAND_DISPLAY", "no display (neither"},
        {"-u WAYLAND_DISPLAY -u SDL_VIDEODRIVER DISPLAY=:7391 LSAN_OPTIONS=suppressions=" + dbus, "no window (no display answers"}};
    for (unsigned k = 0; k < 2; k++) {
        const auto& [env, said] = cases[k];
        const std::string here = dir() + "/headless-" + std::to_string(k);
        ASSERT_EQ(std::system(("mkdir -p " + here).c_str()), 0);
        Result r = demo_play("4", env, here);
        ASSERT_EQ(r.status, 0) << env << ": " << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(here + "/show.mp4"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(here + "/show-sheet.png"), std::string::npos) << r.err;
        EXPECT_GT(testbox::read_file(here + "/show.mp4").size(), 10000u) << env;
        EXPECT_GT(testbox::read_file(here + "/show-sheet.png").size(), 1000u) << env;
    }

    // An output asked for by the capture's name keeps it: the run is refused, and makes
    // nothing.
    const std::string other = dir() + "/headless-dsp";
    ASSERT_EQ(std::system(("mkdir -p " + other).c_str()), 0);
    Result r = demo_play("--dsp-out show.mp4 4", "-u DISPLAY -u WAYLAND_DISPLAY", other);
    EXPECT_EQ(r.status, play::kExitCannotWrite) << r.err;
    EXPECT_NE(r.err.find("demo-play: cannot capture to " + other + "/show.mp4 instead: --dsp-out and --capture would write the same file"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(other + "/show.mp4"));
}

// The box program passes through a soundtrack that ends early without a word;
// demo-play says so.
TEST(PlayShow, ASoundtrackThatEndsBeforeTheShowIsSaid) {
    std::string root = testshow::make_box_tree(dir() + "/short", {false, 40});
    Bytes tone = testbox::tone_ac3();
    std::size_t frames = datafile::scan_ac3(tone, 0).frames;
    for (const char* section : {"4", "2"}) {
        Result r = demo_play(std::string("--fast --box ") + root + " " + section);
        EXPECT_EQ(r.status, 0) << section << r.err;
        EXPECT_NE(r.out.find("demo-play: the soundtrack ended at frame " + std::to_string(frames) + "; the show needs 5140\n"),
                  std::string::npos)
            << section << ": " << r.out;
    }
}

// Started in a working directory that has since been removed, demo-play runs as
// anywhere else: the show, on a box without its data file, ends with its own status
// and demo-play says which; a run without a display, which would capture there, says
// it cannot.
TEST(PlayShow, AWorkingDirectoryThatIsGoneIsNoCrash) {
    std::string empty = dir() + "/emptybox-for-gone", gone = dir() + "/gone";
    ASSERT_EQ(std::system(("mkdir -p " + empty + " " + gone).c_str()), 0);
    // demo_play enters cwd first: here it removes the folder it has entered.
    const std::string removed = gone + " && rmdir " + gone;
    Result r = demo_play("--fast --box " + empty, "", removed);
    EXPECT_EQ(r.status, kExitNoFile) << r.err;
    EXPECT_NE(r.out.find("exit status 2"), std::string::npos) << r.out;
    ASSERT_EQ(std::system(("mkdir -p " + gone).c_str()), 0);
    r = demo_play("--box " + empty, "-u DISPLAY -u WAYLAND_DISPLAY", removed);
    EXPECT_EQ(r.status, play::kExitCannotWrite) << r.err;
    EXPECT_NE(r.err.find("show.mp4: cannot be created"), std::string::npos) << r.err;
}

// A command line that does not parse, or a capture or contact sheet that cannot be
// made: one line that names what is wrong, the status, and no file under the name asked
// for, refused before the show.
TEST(PlayShow, ABadCommandLineOrAnUnwritableCaptureIsOneLineAndAStatus) {
    std::string out = dir() + "/refused.mp4";
    for (const std::string& bad : std::vector<std::string>{"--shot nonsense", "--scale 0", "--scale 7", "--fps 49", "--capture " + dir() + "/show.avi"}) {
        Result r = demo_play(bad + " --capture " + out + " 4");
        EXPECT_EQ(r.status, play::kExitUsage) << bad;
        EXPECT_EQ(r.err.find(bad.substr(0, bad.find(' '))), std::string("demo-play: ").size()) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    ASSERT_EQ(std::system(("mkdir -p " + dir() + "/a-folder.mp4").c_str()), 0);
    const std::string a_file = dir() + "/a-file";
    testbox::write_file(a_file, Bytes(1, 0));
    // A name longer than a folder entry holds, which no file can be given.
    const std::string too_long = dir() + "/" + std::string(NAME_MAX - 3, 'n');
    for (const std::string& path : {dir() + "/missing/show.mkv", dir() + "/a-folder.mp4", too_long + ".mp4"}) {
        Result r = demo_play("--capture " + path + " 4");
        EXPECT_EQ(r.status, play::kExitCannotWrite) << path;
        EXPECT_EQ(r.err.rfind("demo-play: " + path + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << path;
    }
    for (const std::string& path : {dir() + "/missing/sheet.png", dir() + "/a-folder.mp4", a_file + "/sheet.png", too_long + ".png"}) {
        Result r = demo_play("--capture " + out + " --sheet " + path + " 4");
        EXPECT_EQ(r.status, play::kExitCannotWrite) << path;
        EXPECT_EQ(r.err.rfind("demo-play: " + path + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << path;
    }
    EXPECT_FALSE(std::ifstream(out).good());
    for (const auto& entry : std::filesystem::directory_iterator(dir()))
        EXPECT_NE(entry.path().filename().string().rfind("refused.mp4", 0), 0u) << entry.path();
    Result r = demo_play("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: demo-play"), std::string::npos);
    // demo-record makes no video: a video's options are refused, not ignored.
    for (const std::string& video : {"--capture " + out, "--sheet " + dir() + "/sheet.png", std::string("--scale 4"), std::string("--fps 50")}) {
        r = demo_play(video + " 4", "", dir(), "demo-record");
        EXPECT_EQ(r.status, play::kExitUsage) << video;
        EXPECT_EQ(r.err.rfind("demo-record: no video or contact sheet here\n", 0), 0u) << r.err;
    }
}

}  // namespace
