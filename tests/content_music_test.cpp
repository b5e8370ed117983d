// The score format, the synthesizer, and the soundtracks the build made from the
// scores in assets/music.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <utility>

#include "score.h"
#include "synth.h"
#include "testbox.h"

namespace {

std::string asset(const std::string& name) {
    std::string here = __FILE__;
    std::ifstream in(here.substr(0, here.rfind('/')) + "/../assets/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

music::Song song(const std::string& text) {
    music::Song s;
    std::string error;
    EXPECT_TRUE(music::parse(text, s, error)) << error;
    return s;
}

const std::string kHeader =
    "length 100\n"
    "pin 1 0\n"
    "pin 3 40\n"
    "instrument bd drum kind=kick\n"
    "instrument ld synth wave=saw\n";

TEST(ContentScore, PinsTieBarsToShowFrames) {
    music::Song s = song(kHeader + "hit 1 bd x\nhit 2 bd x\nhit 2:2 bd x\nhit 4 bd x\n");
    ASSERT_EQ(s.notes.size(), 4u);
    // 8 beats over 40 frames: 5 frames a beat, also past the last pin.
    EXPECT_DOUBLE_EQ(s.notes[0].start, 0);
    EXPECT_DOUBLE_EQ(s.notes[1].start, 20 * 1536);
    EXPECT_DOUBLE_EQ(s.notes[2].start, 30 * 1536);
    EXPECT_DOUBLE_EQ(s.notes[3].start, 60 * 1536);
}

TEST(ContentScore, GridsHoldRestTransposeAndScale) {
    music::Song s = song(kHeader +
                         "pattern p 4\n"
                         "ld c4 - . d4+f4\n"
                         "bd*0.5 x . 9 .\n"
                         "end\n"
                         "play 1 p@+2\n");
    ASSERT_EQ(s.notes.size(), 5u);
    const double step = 5 * 1536;  // a beat per step
    std::vector<std::pair<double, double>> lead;
    for (const music::Note& n : s.notes) {
        if (n.instrument == 1) {
            lead.push_back({n.pitch, n.length / step});
        } else {
            // Strikes keep the drum's own note; a grid line's scale applies.
            EXPECT_EQ(n.pitch, 60);
            EXPECT_DOUBLE_EQ(n.velocity, 0.5);
        }
    }
    std::sort(lead.begin(), lead.end());
    ASSERT_EQ(lead.size(), 3u);
    EXPECT_EQ(lead[0], (std::pair<double, double>{62, 2}));  // c4 + 2, held over one step
    EXPECT_EQ(lead[1], (std::pair<double, double>{64, 1}));  // the chord runs to the end
    EXPECT_EQ(lead[2], (std::pair<double, double>{67, 1}));
}

TEST(ContentScore, MalformedScoresAreRefusedWithTheirLine) {
    const std::pair<std::string, std::string> cases[] = {
        {kHeader + "pattern p 4\nld c4 - .\nend\n", "line 7"},
        {kHeader + "hit 1 nobody x\n", "no instrument"},
        {kHeader + "hit 1 ld h4\n", "not a note"},
        {kHeader + "play 1 missing\n", "no pattern"},
        {kHeader + "pin 2 60\n", "pins must run forward"},
        {kHeader + "instrument x drum kind=cowbell\n", "no drum kind"},
        {kHeader + "pattern p 4\nld c4 - - -\n", "not ended"},
        {"pin 1 0\npin 2 10\n", "no length"},
    };
    for (const auto& [text, why] : cases) {
        music::Song s;
        std::string error;
        EXPECT_FALSE(music::parse(text, s, error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
}

#ifdef REFERENCE_TOOLS
// The synthesizer plays the main score's first 400 frames (all its voices, the echo
// and the room) to the same samples as the build machine's make-music.
TEST(ContentSynth, PlaysTheBuildMachinesSamples) {
    const std::string text = std::regex_replace(asset("music/main.score"), std::regex("\nlength [0-9]+\n"), "\nlength 400\n");
    const std::string dir = testbox::temp_dir();
    testbox::write_file(dir + "/part.score", testbox::Bytes(text.begin(), text.end()));
    std::string cmd = std::string(REFERENCE_TOOLS) + "/make-music " + dir + "/part.score " + dir + "/part.raw";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const testbox::Bytes there = testbox::read_file(dir + "/part.raw");
    const testbox::Bytes here = music::pcm16(music::render(song(text)));
    ASSERT_EQ(here.size(), std::size_t(400 * 1536 * 4));
    ASSERT_EQ(here.size(), there.size());
    auto differ = std::mismatch(here.begin(), here.end(), there.begin());
    EXPECT_TRUE(differ.first == here.end()) << "the samples differ from the build machine's from byte " << differ.first - here.begin();
}
#endif

TEST(ContentSynth, RendersTheSameSamplesEveryTime) {
    music::Song s = song(kHeader +
                         "instrument sn drum kind=snare room=0.5\n"
                         "pattern p 8\nbd x . . . x x . .\nsn . . x . . . x .\nld c3 - e3 g3 - . c4 -\nend\nplay 1-2 p\n");
    s.frames = 60;
    std::vector<float> a = music::render(s), b = music::render(s);
    ASSERT_EQ(a.size(), std::size_t(60 * 1536 * 2));
    EXPECT_EQ(a, b);
    // Mastered: at the loudness the pieces are made to, peaks well clear of full scale.
    EXPECT_NEAR(music::loudness(a, 48000), music::kLoudness, 0.05);
    EXPECT_LE(music::true_peak(a), std::pow(10.0, music::kTruePeakCeiling / 20) + 1e-6);
    // The piece is brought down to silence at its very end.
    EXPECT_EQ(a[a.size() - 1], 0.0f);
    EXPECT_EQ(a[a.size() - 2], 0.0f);
}

// Plays a score with make-music: the samples it wrote. A failure unless it ends with
// status 0. Natively it runs with at most 4 GB of address space, so that a note that
// asks for more fails at once instead of filling the machine's memory. Not under the
// emulator (a 32-bit box program cannot reach more, and the emulator reserves that
// much up front) nor with the address sanitizer (it maps terabytes of shadow memory at
// start).
testbox::Bytes make_music(const std::string& name, const std::string& score) {
#ifdef __SANITIZE_ADDRESS__
    const bool sanitized = true;
#else
    const bool sanitized = false;
#endif
    const std::string dir = testbox::temp_dir();
    testbox::write_file(dir + "/" + name + ".score", testbox::Bytes(score.begin(), score.end()));
    std::remove((dir + "/" + name + ".raw").c_str());
    const std::string limit = std::string(EMULATOR).empty() && !sanitized ? "ulimit -v 4000000; " : "";
    const std::string cmd = limit + testbox::program("tools/make-music") + " " + dir + "/" + name + ".score " + dir + "/" + name + ".raw";
    EXPECT_EQ(testbox::exit_code(std::system(cmd.c_str())), 0) << name;
    return testbox::read_file(dir + "/" + name + ".raw");
}

// Everything after the piece's last sample is thrown away, so a drum that rings for
// ever or a note held for a million beats costs no more than the rest of the piece,
// and sounds up to its end as a shorter note that still outlasts the piece does.
TEST(ContentSynth, NotesOutlastingThePieceAreCutAtItsEnd) {
    const std::string head = "length 40\npin 1 0\npin 3 40\n"
                             "instrument k drum kind=kick decay=1e12\n"
                             "instrument ep fm ratio=1 index=1.6 idecay=0.7 decay=1.6 sustain=0.25 release=0.6\n";
    const std::size_t bytes = 40 * 1536 * 4;
    const testbox::Bytes drum = make_music("drum", head + "hit 1 k x\n");
    ASSERT_EQ(drum.size(), bytes);
    // The kick still sounds in the last frame but one.
    EXPECT_TRUE(std::any_of(drum.end() - 2 * 1536 * 4, drum.end() - 1536 * 4, [](std::uint8_t b) { return b != 0; }));

    const testbox::Bytes held = make_music("long", head + "hit 1 ep c4 1 1000000\n");
    ASSERT_EQ(held.size(), bytes);
    // 1000 beats are 5000 frames: also held past the end.
    const testbox::Bytes shorter = make_music("short", head + "hit 1 ep c4 1 1000\n");
    EXPECT_TRUE(held == shorter) << "a note held past the piece's end sounds different for being held longer";
}

// Something sounds exactly at each of the show's timeline marks.
void expect_events_at(const std::string& score, const std::vector<int>& marks) {
    music::Song s = song(asset(score));
    for (int m : marks) {
        bool found = std::any_of(s.notes.begin(), s.notes.end(),
                                 [&](const music::Note& n) { return std::abs(n.start - m * 1536.0) < 1; });
        EXPECT_TRUE(found) << score << ": nothing starts at frame " << m;
    }
}

TEST(ContentScore, MainScoreMarksEveryTimelineMark) {
    expect_events_at("music/main.score", {182, 588, 613, 725, 751, 863, 890, 1001, 1026, 1138, 1226, 1405, 2126, 2604,
                                          2740, 3153, 4309, 4575, 4853, 5140});
}

TEST(ContentScore, PreludeScoreMarksItsFadeAndSprites) { expect_events_at("music/prelude.score", {174, 421, 445}); }

// A stream of AC-3 frames at 48 kHz and one bit rate: how many frames, or -1.
int constant_rate_frames(const testbox::Bytes& ac3, int& kbps) {
    static const int rates[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    if (ac3.size() < 6) return -1;
    int code = ac3[4] & 0x3f;
    if (code > 37) return -1;
    kbps = rates[code >> 1];
    std::size_t size = std::size_t(kbps) * 4;  // bytes in 1536 samples at 48 kHz
    if (ac3.size() % size != 0) return -1;
    for (std::size_t at = 0; at < ac3.size(); at += size)
        if (ac3[at] != 0x0b || ac3[at + 1] != 0x77 || ac3[at + 4] != code) return -1;  // fscod 0 in the top bits
    return int(ac3.size() / size);
}

TEST(ContentSoundtracks, AreWholeConstantRateStreamsOfTheRightLength) {
    int kbps = 0;
    int main_frames = constant_rate_frames(testbox::read_file(std::string(CONTENT_DIR) + "/main.ac3"), kbps);
    EXPECT_GE(main_frames, 5140 + 500);
    EXPECT_EQ(kbps, 192);
    int prelude_frames = constant_rate_frames(testbox::read_file(std::string(CONTENT_DIR) + "/prelude.ac3"), kbps);
    EXPECT_GT(prelude_frames, 445 + 30);
    EXPECT_EQ(kbps, 64);
}

// What ffmpeg's loudness meter makes of a built soundtrack, decoded: "I" and "Peak"
// (true peak) from its summary.
struct Meter {
    double integrated = 0, true_peak = 0;
};

Meter measure(const std::string& path) {
    std::string command = "ffmpeg -hide_banner -nostats -i '" + path + "' -af ebur128=peak=true -f null - 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    Meter m{NAN, NAN};
    if (pipe == nullptr) return m;
    std::string text;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) text.append(buf, n);
    pclose(pipe);
    std::size_t summary = text.find("Summary:");
    if (summary == std::string::npos) return m;
    auto value = [&](const char* label) {
        std::size_t at = text.find(label, summary);
        return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + std::strlen(label), nullptr);
    };
    m.integrated = value("I:");
    m.true_peak = value("Peak:");
    return m;
}

TEST(ContentSoundtracks, NoDecoderClipsThemAndTheyPlayAtOneLoudness) {
    for (const char* name : {"main.ac3", "prelude.ac3"}) {
        Meter m = measure(std::string(CONTENT_DIR) + "/" + name);
        EXPECT_LE(m.true_peak, -1.0) << name;
        EXPECT_NEAR(m.integrated, music::kLoudness, 0.5) << name;
    }
}

}  // namespace
