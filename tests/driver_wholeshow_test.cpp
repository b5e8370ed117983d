// The whole show, as demo-play (demo-record in builds without it) plays it from the
// beginning in virtual time with the show's own content: it ends cleanly with the
// sound device never starved and both soundtracks sent as they are, screenshots of
// every section are the recorded ones, so that any change to what the show draws is
// noticed, the screen is given back as it was found, and a reference player gives the
// same run.
//
// The recorded screenshots are digests in tests/data/wholeshow.digests. After a
// deliberate change to the pictures, run this test with DEMO_RECORD_DIGESTS=1 to
// write the new digests, look at the screenshots it leaves, and commit the file.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/encryption.h"
#include "show/seeds.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

struct Shot {
    const char* name;
    const char* when;  // demo-play's --shot frame: N on the main soundtrack, prelude:N
};
const Shot kShots[] = {
    {"prelude-picture", "prelude:300"}, {"prelude-sprite", "prelude:423"}, {"fire", "700"},
    {"fire-word", "1002"},              {"zoomer", "1800"},                {"threedee-lead-in", "2400"},
    {"threedee-duck", "3000"},          {"threedee-face", "3600"},         {"threedee-jet", "4400"},
    {"threedee-cycle", "5000"},         {"titles", "5600"},
};

std::uint64_t digest(const PalettePicture& p) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a over size, palette and pixels
    auto mix = [&h](std::uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (int v : {p.width, p.height})
        for (int s = 0; s < 32; s += 8) mix(std::uint8_t(v >> s));
    for (const auto& c : p.palette)
        for (std::uint8_t b : c) mix(b);
    for (std::uint8_t b : p.pixels) mix(b);
    return h;
}

struct ShowRun {
    std::string dir;  // where the run's files are
    int status = -1;
    std::string summary;
    std::vector<std::string> trace;
    testbox::Bytes sound;  // every byte written to the sound device
    std::map<std::string, std::uint64_t> digests;
};

// The whole show played by player (a command) on the box tree the build laid out.
ShowRun play_whole_show(const std::string& player, const std::string& dir) {
    ShowRun run;
    run.dir = dir;
    std::system(("mkdir -p " + dir).c_str());
    std::string cmd = player + " --fast --box " + BOX_ROOT + " --trace " + dir + "/trace.jsonl --dsp-out " + dir + "/dsp.bin";
    for (const Shot& s : kShots) cmd += std::string(" --shot ") + s.when + ":" + dir + "/" + s.name + ".png";
    cmd += " > " + dir + "/out.txt 2>&1";
    run.status = testbox::exit_code(std::system(cmd.c_str()));
    testbox::Bytes out = testbox::read_file(dir + "/out.txt");
    run.summary.assign(out.begin(), out.end());
    std::ifstream trace(dir + "/trace.jsonl");
    for (std::string line; std::getline(trace, line);) run.trace.push_back(line);
    run.sound = testbox::read_file(dir + "/dsp.bin");
    for (const Shot& s : kShots) {
        PalettePicture p;
        if (decode_png(testbox::read_file(dir + "/" + s.name + ".png"), p)) run.digests[s.name] = digest(p);
    }
    return run;
}

const ShowRun& whole_show() {
    static const ShowRun run = play_whole_show(testbox::program(PLAYER), testbox::temp_dir() + "/wholeshow");
    return run;
}

bool has(const std::string& line, const char* what) { return line.find(what) != std::string::npos; }

// The data file the build laid out for the box: every item in its place, every AC-3
// frame whole, and a main soundtrack long enough for the whole timeline.
TEST(WholeShow, TheBuiltDataFileHasTheLayout) {
    testbox::Bytes data = testbox::read_file(std::string(BOX_ROOT) + DEMO_DATA_PATH);
    ASSERT_FALSE(data.empty());
    std::vector<datafile::Item> items;
    std::string why;
    ASSERT_TRUE(datafile::unscramble_and_split(data, items, why)) << why;
    ASSERT_EQ(items.size(), 9u);
    EXPECT_EQ(items[6].offset, std::size_t(kMainSoundtrackOffset));
    EXPECT_GT(items[4].frames, 445u);
    EXPECT_GE(items[6].frames, std::size_t(kThreedeeEnd));
    EXPECT_EQ(items[8].offset + items[8].size, data.size());
    EXPECT_NE(std::find(data.begin() + long(items[8].offset), data.end(), 0), data.end());
}

TEST(WholeShow, PlaysToTheEndWithTheSoundDeviceAlwaysFed) {
    const ShowRun& run = whole_show();
    EXPECT_EQ(run.status, 0) << run.summary;
    EXPECT_NE(run.summary.find(" 0 underruns"), std::string::npos) << run.summary;
    ASSERT_FALSE(run.trace.empty());
    EXPECT_TRUE(has(run.trace.back(), "\"exit\",\"status\":0")) << run.trace.back();

    // Both soundtracks reach the device as they stand in the data file: an independent
    // reader (ffmpeg's) finds every frame, in order, at the start of each burst's payload.
    const std::string data = std::string(BOX_ROOT) + DEMO_DATA_PATH;
    std::vector<testbox::Bytes> sent = testbox::soundtrack_frames(data, "prelude soundtrack");
    for (testbox::Bytes& frame : testbox::soundtrack_frames(data, "main soundtrack")) sent.push_back(std::move(frame));
    EXPECT_NE(run.summary.find(" " + std::to_string(sent.size()) + " frames sent"), std::string::npos) << run.summary;
    std::string cmd = "ffmpeg -v error -y -f spdif -i " + run.dir + "/dsp.bin -c copy -f ac3 " + run.dir + "/back.ac3";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    testbox::Bytes payloads = testbox::read_file(run.dir + "/back.ac3");
    ASSERT_EQ(payloads.size(), sent.size() * 2788);
    for (std::size_t i = 0; i < sent.size(); i++)
        ASSERT_TRUE(std::equal(sent[i].begin(), sent[i].end(), payloads.begin() + long(i * 2788))) << "frame " << i;
}

TEST(WholeShow, TheTitlesFadeOutAndTheScreenIsGivenBack) {
    const ShowRun& run = whole_show();
    // The end: 256 fading maps and black; then the screen is given back as it was found
    // (mode and virtual size, the pan with them, the console's colours), and the
    // console is reset.
    std::vector<std::string> maps;
    std::size_t given_back = 0;
    for (std::size_t i = 0; i < run.trace.size(); i++) {
        if (has(run.trace[i], "FBIOPUTCMAP")) maps.push_back(run.trace[i]);
        if (has(run.trace[i], "FBIOPUT_VSCREENINFO")) given_back = i;
    }
    ASSERT_TRUE(has(run.trace[given_back], "\"yres_virtual\":480")) << run.trace[given_back];
    ASSERT_GT(maps.size(), 258u);
    EXPECT_TRUE(has(maps[maps.size() - 2], "\"rgb0\":[0,0,0],\"rgb255\":[0,0,0]"));
    EXPECT_TRUE(has(maps[maps.size() - 258], "\"rgb255\":[57120,57120,61200]")) << maps[maps.size() - 258];
    std::vector<std::string> after(run.trace.begin() + long(given_back) + 1, run.trace.end());
    ASSERT_EQ(after.size(), 5u);
    EXPECT_TRUE(has(after[0], "\"FBIOPAN_DISPLAY\",\"yoffset\":0}")) << after[0];
    EXPECT_EQ(after[1], maps.back());
    EXPECT_TRUE(has(after[2], "\"close\",\"dev\":\"/dev/fb0\"")) << after[2];
    EXPECT_TRUE(has(after[3], "\"text\":\"\\u001bc\"")) << after[3];
    EXPECT_TRUE(has(after[4], "\"exit\",\"status\":0")) << after[4];
}

TEST(WholeShow, ScreenshotsMatchTheRecordedOnes) {
    const ShowRun& run = whole_show();
    std::string file = std::string(SOURCE_DIR) + "/tests/data/wholeshow.digests";
    if (std::getenv("DEMO_RECORD_DIGESTS") != nullptr) {
        std::ofstream out(file);
        for (const Shot& s : kShots) out << s.name << " " << std::hex << run.digests.at(s.name) << "\n";
        GTEST_SKIP() << "recorded " << file;
    }
    std::ifstream in(file);
    std::map<std::string, std::uint64_t> recorded;
    std::string name;
    std::uint64_t value;
    while (in >> name >> std::hex >> value) recorded[name] = value;
    ASSERT_EQ(recorded.size(), std::size(kShots)) << file;
    for (const Shot& s : kShots) {
        ASSERT_TRUE(run.digests.count(s.name)) << s.name << ": no screenshot";
        EXPECT_EQ(run.digests.at(s.name), recorded[s.name]) << s.name << " differs from the recorded screenshot";
    }
}

#ifdef REFERENCE_PLAYER
// A second player, run on this machine, plays the same show: every device request at
// the same time, the same bytes to the sound device, the same screenshots. In a build
// for a box CPU the reference is the build machine's demo-record, so the box's CPU
// computes the show as the build machine does; in a native build demo-record is the
// reference for demo-play, so it can stand for it.
TEST(WholeShow, TheReferencePlayerGivesTheSameRun) {
    const ShowRun& run = whole_show();
    const ShowRun reference = play_whole_show(REFERENCE_PLAYER, testbox::temp_dir() + "/reference");
    ASSERT_EQ(reference.status, 0) << reference.summary;
    EXPECT_EQ(run.status, reference.status);
    ASSERT_EQ(run.trace.size(), reference.trace.size());
    for (std::size_t i = 0; i < run.trace.size(); i++) ASSERT_EQ(run.trace[i], reference.trace[i]) << "trace line " << i + 1;
    EXPECT_GT(reference.sound.size(), std::size_t(kThreedeeEnd) * 6144);
    EXPECT_EQ(run.sound.size(), reference.sound.size());
    auto differ = std::mismatch(run.sound.begin(), run.sound.end(), reference.sound.begin(), reference.sound.end());
    EXPECT_TRUE(differ.first == run.sound.end()) << "the sound device's bytes differ from byte " << differ.first - run.sound.begin();
    EXPECT_EQ(run.digests, reference.digests);
}
#endif

}  // namespace
