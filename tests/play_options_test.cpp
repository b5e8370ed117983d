// demo-play's command line, and where in the show a run is.
#include <cstdlib>
#include <optional>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "play/options.h"
#include "play/timeline.h"
#include "testbox.h"

namespace {

using play::Options;

bool parse(std::vector<std::string> args, Options& options, std::string& error) {
    args.insert(args.begin(), "demo-play");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return play::parse_options(int(args.size()), argv.data(), options, error);
}

TEST(PlayOptions, EveryOptionAndTheSection) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--fast", "--trace", "t.jsonl", "--dsp-out", "d.bin", "--capture", "c.mp4", "--sheet", "s.png",
                       "--box", "/b", "--shot", "100:dir:x/a.png", "--shot", "prelude:7:b.png", "--scale", "6", "--fps", "60", "0x2"},
                      o, error))
        << error;
    EXPECT_TRUE(o.fast);
    EXPECT_EQ(o.trace, "t.jsonl");
    EXPECT_EQ(o.dsp_out, "d.bin");
    EXPECT_EQ(o.capture, "c.mp4");
    EXPECT_EQ(o.scale, 6u);
    EXPECT_EQ(o.fps, 60u);
    EXPECT_EQ(o.sheet, "s.png");
    EXPECT_EQ(o.box_root, "/b");
    ASSERT_EQ(o.shots.size(), 2u);
    EXPECT_FALSE(o.shots[0].prelude);
    EXPECT_EQ(o.shots[0].frame, 100u);
    EXPECT_EQ(o.shots[0].path, "dir:x/a.png");  // a path may hold colons
    EXPECT_TRUE(o.shots[1].prelude);
    EXPECT_EQ(o.shots[1].frame, 7u);
    EXPECT_EQ(o.shots[1].path, "b.png");
    ASSERT_TRUE(o.section.has_value());
    EXPECT_EQ(*o.section, "0x2");
    EXPECT_FALSE(o.help);
}

TEST(PlayOptions, ACaptureIsAnMp4OrAnMkvAtAScaleAndRateAllowed) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--capture", "dir.x/Show.MKV", "--scale", "1", "--fps", "50"}, o, error)) << error;
    EXPECT_EQ(play::capture_kind(o.capture), play::CaptureKind::Mkv);
    EXPECT_EQ(play::capture_kind("a.mp4"), play::CaptureKind::Mp4);
    EXPECT_EQ(play::capture_kind("mp4"), play::CaptureKind::Unknown);
    ASSERT_TRUE(parse({}, o, error));
    EXPECT_EQ(o.scale, 1u);
    EXPECT_EQ(o.fps, 0u);  // each picture at its own time
    // A window run captures at this size and rate when there is no display; with one, it
    // captures nothing.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    ASSERT_TRUE(parse({"--scale", "4", "--fps", "60"}, o, error)) << error;
    EXPECT_EQ(o.scale, 4u);
    setenv("DISPLAY", ":0", 1);
    EXPECT_FALSE(parse({"--scale", "4"}, o, error));
    EXPECT_EQ(error, "--scale 4 is for a capture, and there is none (--capture FILE)");
    // Each refusal names the option and the value: one out of range or of the wrong
    // shape, one given twice (the second would undo the first), a size or a rate for a
    // run that captures nothing, two outputs in one file (by any name).
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--scale", "0"}, {"--scale", "7"}, {"--scale", "04x"}, {"--scale", "-1"}, {"--fps", "49"},
             {"--fps", "55"}, {"--fps", "0"}, {"--capture", "show.avi"}, {"--capture", "show.mp4.part"}, {"--capture", ""},
             {"--shot", "a.png"}, {"--shot", ":a.png"}, {"--shot", "12:"}, {"--shot", "-3:a.png"}, {"--shot", "1x:a.png"},
             {"--shot", "1234567890:a.png"}, {"--shot", "prelude::a.png"},
             {"--capture", "a.mp4", "--capture", "b.mkv"}, {"--scale", "2", "--capture", "a.mp4", "--scale", "4"},
             {"--sheet", "a.png", "--sheet", "b.png"}, {"--trace", "a", "--trace", "b"}, {"--dsp-out", "a", "--dsp-out", "a"},
             {"--box", "a", "--box", "b"}, {"--fps", "50", "--fast"}, {"--scale", "4", "--sheet", "s.png"},
             {"--capture", "out/x.mp4", "--sheet", "out/./x.mp4"}, {"--trace", "t", "--shot", "1:t"}, {"--trace", "d", "--dsp-out", "d"},
             {"--trace", std::filesystem::current_path().string() + "/d", "--dsp-out", "d"}}) {
        EXPECT_FALSE(parse(bad, o, error)) << bad[0] << " " << bad[1];
        EXPECT_EQ(error.find(bad[0]), 0u) << error;
        EXPECT_NE(error.find(bad[1]), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(PlayOptions, BadCommandLinesAreRefusedWithAReason) {
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--shot", "1:a.png", "--shot", "prelude:1:a.png"},
             {"--trace"},
             {"--frobnicate"},
             {"1", "2"},
         }) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty()) << bad[0];
    }
}

// Help without a section; after "--" a section may look like an option.
TEST(PlayOptions, HelpAndTheSectionAfterADoubleDash) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);
    EXPECT_FALSE(o.section.has_value());
    EXPECT_NE(play::usage().find("--capture"), std::string::npos);
    ASSERT_TRUE(parse({"--", "-1"}, o, error)) << error;
    EXPECT_EQ(o.section.value(), "-1");
}

TEST(PlayOptions, OnlyAPlainRunIsLive) {
    Options o;
    EXPECT_TRUE(play::live_run(o));
    o.fast = true;
    EXPECT_FALSE(play::live_run(o));
    o = Options();
    o.capture = "c.mp4";
    EXPECT_FALSE(play::live_run(o));
    o = Options();
    o.sheet = "s.png";
    EXPECT_FALSE(play::live_run(o));
}

TEST(PlayOptions, WithoutADisplayALiveRunCaptures) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_FALSE(play::display_available());
    Options o;
    ASSERT_TRUE(play::fall_back_to_capture(o, "/out"));
    EXPECT_EQ(o.capture, "/out/show.mp4");
    EXPECT_EQ(o.sheet, "/out/show-sheet.png");
    EXPECT_FALSE(play::live_run(o));

    Options fast;
    fast.fast = true;
    EXPECT_FALSE(play::fall_back_to_capture(fast, "/out"));
    EXPECT_TRUE(fast.capture.empty());

    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    Options windowed;
    EXPECT_FALSE(play::fall_back_to_capture(windowed, "/out"));
    EXPECT_TRUE(windowed.capture.empty());
    unsetenv("WAYLAND_DISPLAY");
    setenv("DISPLAY", "", 1);
    EXPECT_FALSE(play::display_available());
    setenv("DISPLAY", ":0", 1);
    EXPECT_TRUE(play::display_available());
}

TEST(PlayTimeline, ThePreludeRunsOnlyFromTheStart) {
    EXPECT_TRUE(play::prelude_runs(std::nullopt));
    EXPECT_TRUE(play::prelude_runs(std::string("0")));
    EXPECT_TRUE(play::prelude_runs(std::string("0x0")));
    EXPECT_TRUE(play::prelude_runs(std::string("fire")));  // not a number: section 0
    EXPECT_FALSE(play::prelude_runs(std::string("1")));
    EXPECT_FALSE(play::prelude_runs(std::string("0x2")));
    EXPECT_FALSE(play::prelude_runs(std::string("010")));  // octal 8
}

TEST(PlayTimeline, StreamsAreThePreludesThenTheMain) {
    using play::Soundtrack;
    EXPECT_EQ(play::soundtrack_of_stream(0, true), Soundtrack::None);
    EXPECT_EQ(play::soundtrack_of_stream(1, true), Soundtrack::Prelude);
    EXPECT_EQ(play::soundtrack_of_stream(2, true), Soundtrack::Main);
    EXPECT_EQ(play::soundtrack_of_stream(1, false), Soundtrack::Main);
}

TEST(PlayTimeline, SectionsChangeAtTheirFrames) {
    using play::Soundtrack;
    EXPECT_STREQ(play::section_name(Soundtrack::None, 0), "start");
    EXPECT_STREQ(play::section_name(Soundtrack::Prelude, 4000), "prelude");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 0), "fire");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 1225), "fire");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 1226), "zoomer");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 2125), "zoomer");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 2126), "3D");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 5139), "3D");
    EXPECT_STREQ(play::section_name(Soundtrack::Main, 5140), "end titles");
}

// The lengths are the frame counts of the data file's soundtracks; without a laid-out
// data file there are none.
TEST(PlayTimeline, SoundtrackLengthsAreTheDataFilesFrames) {
    const std::string data = std::string(BOX_ROOT) + DEMO_DATA_PATH;
    std::optional<play::SoundtrackLengths> lengths = play::soundtrack_lengths(data);
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(lengths->prelude, testbox::soundtrack_frames(data, "prelude soundtrack").size());
    EXPECT_EQ(lengths->main, testbox::soundtrack_frames(data, "main soundtrack").size());
    EXPECT_FALSE(play::soundtrack_lengths("/nonexistent/show.dat").has_value());
}

}  // namespace
