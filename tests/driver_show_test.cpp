// The show driver on the emulated box: start sections, the timeline on the frame
// counter, shutdown and the exit statuses.
#include <array>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "show/ac3audio.h"
#include "show/exit_status.h"
#include "show/vidparm.h"
#include "testshow.h"

namespace {

// What the show did, with the show clock at each request.
struct Recorder : emu::Observer {
    struct Event {
        std::uint32_t fcount;
        std::string json;
    };
    std::vector<Event> events;
    std::vector<testbox::Bytes> frames;  // AC-3 frames out of the digital output
    bool cursor_over_show = false;       // the console showed its cursor once the show had started
    void request(std::uint64_t, const std::string& json) override { events.push_back({fcount, json}); }
    void box_call() override { cursor_over_show |= fcount > 0 && emu::box().console.cursor_shown; }
    void ac3_frame(std::uint64_t, const std::uint8_t* data, std::size_t len) override { frames.emplace_back(data, data + len); }

    std::vector<Event> matching(const std::string& what) const {
        std::vector<Event> out;
        for (const auto& e : events)
            if (e.json.find(what) != std::string::npos) out.push_back(e);
        return out;
    }
    // Show clock of the first request of this kind at or after frame `from`.
    std::uint32_t first(const std::string& what, std::uint32_t from) const {
        for (const auto& e : events)
            if (e.fcount >= from && e.json.find(what) != std::string::npos) return e.fcount;
        return ~0u;
    }
};

const char* const kPan = "FBIOPAN_DISPLAY";
const char* const kReset = "\"text\":\"\\u001bc\"";

emu::Config with_fault(emu::Fault fault) {
    emu::Config config;
    config.faults.insert(fault);
    return config;
}

// Plays the show from section on a fresh show box: what it did. A failure unless the
// show ends with status 0.
Recorder play(const char* section, const testshow::Options& options = {false, 40}, const emu::Config& config = emu::Config()) {
    emu::Box& box = testshow::fresh_show_box(options, config);
    Recorder rec;
    box.observer = &rec;
    const int status = testshow::run_show({"demo", section});
    box.observer = nullptr;
    EXPECT_EQ(status, 0) << "section " << section;
    return rec;
}

TEST(Driver, SectionFourPlaysOnlyTheEndTitles) {
    const Recorder rec = play("4", testshow::Options());
    // Only the titles' music is heard: the first frame out of the digital output is the
    // main soundtrack's frame 5140, and all frames after it follow.
    const testbox::Bytes& tone = testshow::long_tone();
    const std::size_t frame_bytes = testshow::long_tone_frame_bytes();
    ASSERT_EQ(rec.frames.size(), 5300u - 5140u);
    for (std::size_t i = 0; i < rec.frames.size(); i++)
        ASSERT_TRUE(std::equal(rec.frames[i].begin(), rec.frames[i].end(), tone.begin() + long((5140 + i) * frame_bytes)))
            << "frame " << i;
    // The first picture shown after start-up is an end-title frame, while the first frames
    // of their music play (the 3D set-up before them keeps the sound fed).
    // Before it, only the one frame with which the 3D set-up is taken down again.
    std::uint32_t titles = rec.first("\"rgb255\":[57344,57344,61440]", 0);
    EXPECT_GE(titles, 5140u);
    EXPECT_LE(titles, 5144u);
    int early_pans = 0;
    for (const auto& e : rec.matching(kPan)) early_pans += e.fcount < titles;
    EXPECT_EQ(early_pans, 1);
    EXPECT_LE(rec.first(kPan, titles), titles + 2);
    EXPECT_EQ(emu::box().dsp.underruns, 0u);
    EXPECT_EQ(rec.matching(kReset).size(), 1u);
    EXPECT_EQ(rec.matching("\"open\",\"dev\":\"/dev/dsp\"").size(), 1u);  // no prelude
}

// Every section boundary falls on its frame of the main soundtrack.
TEST(Driver, SectionsStartAndEndOnTheirFrames) {
    const Recorder rec = play("1", testshow::Options());
    auto near = [](std::uint32_t at, std::uint32_t frame) { return at >= frame && at <= frame + 2; };
    // Fire: its palette at once, its first page at 182, its last before 1226 is passed.
    EXPECT_EQ(rec.first("\"rgb255\":[65535,65535,65535]", 0), 0u);
    EXPECT_TRUE(near(rec.first(kPan, 0), 182)) << rec.first(kPan, 0);
    std::uint32_t after_fire = rec.first(kPan, 1229);
    // Zoomer: nothing shown in its lead-in, first page at 1405, fade-out from 2126.
    EXPECT_TRUE(near(after_fire, 1405)) << after_fire;
    std::uint32_t fade_out = rec.first("FBIOPUTCMAP", 1500);
    EXPECT_TRUE(near(fade_out, 2126)) << fade_out;
    // End titles: their colours (the star ramp's last entry) at 5140.
    std::uint32_t titles = rec.first("\"rgb255\":[57344,57344,61440]", 0);
    EXPECT_TRUE(near(titles, 5140)) << titles;
    // 3D frames fill the time between: pages shown in every 100 frames.
    for (std::uint32_t f = 2200; f < 5100; f += 100) EXPECT_LT(rec.first(kPan, f), f + 100) << f;
    EXPECT_EQ(emu::box().dsp.underruns, 0u);
    EXPECT_EQ(rec.matching(kReset).size(), 1u);
}

// The show's trace for a start section, from a run in a process of its own (module
// state starts at zero once per process).
std::string trace_of(const char* section) {
    std::string path = testbox::temp_dir() + "/trace-" + section;
    pid_t child = fork();
    if (child == 0) {
        struct ToFile : emu::Observer {
            std::FILE* out;
            void request(std::uint64_t t, const std::string& json) override {
                std::fprintf(out, "%llu %u %s\n", static_cast<unsigned long long>(t), fcount, json.c_str());
            }
        } rec;
        rec.out = std::fopen(path.c_str(), "w");
        testshow::fresh_show_box({false, 40}).observer = &rec;
        int status = testshow::run_show({"demo", section});
        std::fclose(rec.out);
        _exit(status);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(testbox::exit_code(status), 0) << section;
    testbox::Bytes bytes = testbox::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// "0x2" is read with automatic base: the same show as "2" and "02".
TEST(Driver, SectionNumbersTakeAnyBase) {
    std::string two = trace_of("2");
    EXPECT_NE(two.find("FBIOPAN_DISPLAY"), std::string::npos);
    EXPECT_EQ(trace_of("0x2"), two);
    EXPECT_EQ(trace_of("02"), two);
    EXPECT_NE(trace_of("3"), two);
    // Too large for 32 bits: still the end titles only, never the prelude.
    EXPECT_EQ(trace_of("4294967296"), trace_of("4"));
}

TEST(Driver, TextThatIsNoNumberPlaysFromThePrelude) {
    // Two soundtracks: the prelude's, then the main one.
    EXPECT_EQ(play("abc").matching("\"open\",\"dev\":\"/dev/dsp\"").size(), 2u);
}

// On a box whose console shows its cursor (booted without vt.global_cursor_default=0)
// the cursor is hidden while the show plays and shown again at the end.
TEST(Driver, AShortSoundtrackPassesEverySectionAndStillEnds) {
    emu::Config config;
    config.cursor_shown = true;
    const Recorder rec = play("1", {false, 40}, config);
    const emu::Box& box = emu::box();
    EXPECT_FALSE(rec.cursor_over_show);
    EXPECT_TRUE(box.console.cursor_shown);
    EXPECT_EQ(box.dsp.underruns, 0u);
    EXPECT_EQ(box.fb.var.yoffset % 480, 0u);
    // The end titles still faded out to black.
    EXPECT_EQ(box.fb.red[255], 0);
    EXPECT_EQ(box.fb.blue[255], 0);
    EXPECT_EQ(rec.matching(kReset).size(), 1u);
}

// The failure exits and a stop: each ends with its status and gives the box back as it
// was found: the screen's mode, pan and colours, then the console reset.
struct ExitWatch : emu::Observer {
    fb_var_screeninfo found = emu::box().fb.var;
    std::array<std::uint8_t, 768> found_palette = emu::box().fb.palette8();
    unsigned stop_at = 0;
    void request(std::uint64_t, const std::string& json) override {
        if (json.find(kReset) == std::string::npos) return;
        const emu::Framebuffer& fb = emu::box().fb;
        bool as_found = std::memcmp(&fb.var, &found, sizeof found) == 0 && fb.palette8() == found_palette;
        std::fprintf(stderr, as_found ? "box as found\n" : "box left changed\n");
    }
    void box_call() override {
        if (stop_at != 0 && fcount >= stop_at) emu::box().request_stop(SIGTERM);
    }
};

TEST(DriverDeathTest, FailuresAndAStopEndWithTheirStatusAndGiveTheBoxBack) {
    emu::Config small_memory;
    small_memory.fb_memory = 4 * 307200;  // the kernel refuses a virtual screen larger than the memory
    // What is done to the data file before the show starts.
    auto remove = [](const std::string& path) { std::filesystem::remove(path); };
    auto damage = [](const std::string& path) {
        testbox::Bytes data = testbox::read_file(path);
        data[kMainSoundtrackOffset] ^= 0xFF;  // no sync word where the main soundtrack starts
        testbox::write_file(path, data);
    };
    const struct {
        const char* name;
        emu::Config config;
        const char* section;
        int status;
        void (*change_data)(const std::string& path) = nullptr;
        testshow::Options options = {false, 40};
        unsigned stop_at_frame = 0;
    } cases[] = {
        {"mode set refused", with_fault(emu::Fault::FbModeSet), "4", 5},
        {"screen larger than the memory", small_memory, "4", 5},
        {"no data file", emu::Config(), "4", 2, remove},
        {"damaged main soundtrack", emu::Config(), "3", 5, damage},
        {"no sound device", with_fault(emu::Fault::DspMissing), "4", 5},
        {"no sound device for the prelude", with_fault(emu::Fault::DspMissing), "0", 5},
        {"stopped in the fire", emu::Config(), "1", exit_status_of_signal(SIGTERM), nullptr, testshow::Options(), 700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu::Box& box = testshow::fresh_show_box(c.options, c.config);
        if (c.change_data) c.change_data(box.config.root + DEMO_DATA_PATH);
        EXPECT_EXIT(
            {
                static ExitWatch watch;
                watch.stop_at = c.stop_at_frame;
                emu::box().observer = &watch;
                testshow::run_show({"demo", c.section});
            },
            ::testing::ExitedWithCode(c.status), "box as found");
    }
}

TEST(Driver, RunsWithoutAConsole) {
    EXPECT_TRUE(play("1", {false, 40}, with_fault(emu::Fault::TtyMissing)).matching("/dev/tty0").empty());
}

}  // namespace
