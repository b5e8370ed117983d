// The show driver: claims the console and the framebuffer, opens the data file, plays
// the prelude or jumps past it, loads the main soundtrack and runs the sections on
// its frame counter. Every section boundary is a fixed frame number, so the pictures
// keep in step with the music whatever the speed of the machine.
#include "show/exit_status.h"
#include "show/vidparm.h"

#include <algorithm>
#include <array>
#include <climits>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/fastmath.h"
#include "show/fbstuff.h"
#include "show/fire.h"
#include "show/libc_random.h"
#include "show/seeds.h"
#include "show/threedee.h"
#include "show/zoomer.h"

std::FILE* fp;
std::FILE* ftty;

namespace {

// Ends of the ten fire sub-sections: eight words, the last stretch of fed fire, and
// the stretch in which it dies out.
constexpr std::uint32_t kWordTimes[10] = {588, 613, 725, 751, 863, 890, 1001, 1026, 1138, 1226};
constexpr std::uint32_t kFireStart = 182;
constexpr std::uint32_t kZoomStart = 1405;
constexpr std::uint32_t kLeadInEnd = 2604;
constexpr std::uint32_t kModelEnds[4] = {2740, 3153, 4309, 4575};
constexpr std::uint32_t kModel3HoldEnd = 4853;
constexpr double kCycleStep = 4.87109375;
// Models 1 and 2 are open surfaces: every face is drawn.
constexpr int kAllFaces[4] = {0, 1, 1, 0};

// The cursor's appearance, a clear and home; then the cursor hidden for the show, or a
// console that shows its cursor blinks a block over the pictures in the first cell. The
// reset at the end gives the console its own setting back.
constexpr char kConsoleStart[] = "\033[?17;0;127c\033[2J\033[H\033[?25l";
constexpr char kConsoleReset[] = "\033c";

// The data file's path, masked at build time with the first four values of the
// generator seeded with kPathMaskSeed, word by word in the program's byte order.
constexpr std::array<std::uint32_t, 4> mask_path(const char* path) {
    std::array<std::uint8_t, 16> text{};
    for (int i = 0; i < 15 && path[i] != '\0'; i++) text[i] = std::uint8_t(path[i]);
    LibcRandom r(kPathMaskSeed);
    std::array<std::uint32_t, 4> words{};
    for (int k = 0; k < 4; k++) {
        std::uint32_t w = 0;
        for (int b = 0; b < 4; b++) {
            int shift = std::endian::native == std::endian::little ? 8 * b : 24 - 8 * b;
            w |= std::uint32_t(text[4 * k + b]) << shift;
        }
        words[k] = w ^ std::uint32_t(r.next());
    }
    return words;
}
static_assert(sizeof(DEMO_DATA_PATH) <= 16, "the data file path must fit in 15 characters");
constexpr std::array<std::uint32_t, 4> kMaskedPath = mask_path(DEMO_DATA_PATH);
constinit std::uint32_t dfile[4] = {kMaskedPath[0], kMaskedPath[1], kMaskedPath[2], kMaskedPath[3]};

std::FILE* open_data_file() {
    LibcRandom r(kPathMaskSeed);
    for (std::uint32_t& w : dfile) w ^= std::uint32_t(r.next());
    std::FILE* f = box::fopen(reinterpret_cast<const char*>(dfile), "rb");
    // The effects' generator starts where the path mask leaves it, as with glibc's.
    std::srand(kPathMaskSeed);
    for (int i = 0; i < 4; i++) std::rand();
    // Only the masked form may stay in memory: wipe the plain path at once.
    volatile std::uint8_t* wipe = reinterpret_cast<volatile std::uint8_t*>(dfile);
    for (std::size_t i = 0; i < sizeof dfile; i++) wipe[i] = 0;
    return f;
}

void reset_console() {
    if (ftty == nullptr) return;
    std::fwrite(kConsoleReset, 1, sizeof kConsoleReset - 1, ftty);
    std::fclose(ftty);
    ftty = nullptr;
}

// Every way out of the program leaves the box as the show found it: the screen's mode,
// pan and colours first, then the console's own state.
void give_box_back() {
    box::on_stop(nullptr);  // already on the way out
    restore_framebuf();
    reset_console();
}

// A signal (or, on the emulated box, the viewer closing the window): stop the sound
// at once and end; the exit gives the box back.
void stop_show(int signal) {
    ac3_stop(1);
    std::exit(exit_status_of_signal(signal));
}

// Runs step until fcount reaches n; ends at once when the soundtrack has ended or
// holds a bad frame. Returns false in that case.
template <typename Step>
bool run_until(std::uint32_t n, Step step) {
    while (fcount < n) {
        if (ac3_process() != 0) return false;
        step();
    }
    return true;
}

void nothing() {}

void fire_section() {
    fire_init();
    run_until(kFireStart, nothing);
    for (int i = 0; i < 10; i++) {
        int seed = i != 9;
        run_until(kWordTimes[i], [seed] { fire_frame(-1, seed); });
        if (i <= 7) fire_frame(i, 1);
    }
    fire_deinit();
}

void zoomer_section() {
    zoom_init();
    threedee_init();
    run_until(kZoomStart, nothing);
    while (zoom_frame(0) == 0 && ac3_process() == 0) {
    }
    run_until(kZoomEnd, [] { zoom_frame(1); });
    zoom_fadeout_init();
    while (zoom_frame(2) == 0 && ac3_process() == 0) {
    }
    zoom_deinit();
}

void threedee_section(std::uint32_t section) {
    if (section == 3) threedee_init();
    light_threedee_init();
    bool playing = run_until(kLeadInEnd, [] { threedee_frame(0, 1, 0, 0); });
    for (int m = 0; m < 4; m++) playing = run_until(kModelEnds[m], [m] { threedee_frame(kAllFaces[m], 0, 1, m); });
    playing = run_until(kModel3HoldEnd, [] { threedee_frame(0, 0, 1, 3); });
    // The rapid cycle: a new model every 4 frames.
    std::uint32_t t = kModel3HoldEnd;
    for (unsigned k = 0; playing && fcount < kThreedeeEnd; k++) {
        t = std::uint32_t(double(t) + kCycleStep);
        int m = int(k % 4);
        playing = run_until(t, [m] { threedee_frame(kAllFaces[m], 0, 1, m); });
    }
    threedee_deinit();
}

bool before(const timeval& deadline) {
    timeval now;
    box::gettimeofday(&now);
    return now.tv_sec < deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_usec < deadline.tv_usec);
}

void end_section() {
    theend_init();
    while (ac3_process() == 0) theend_frame();
    while (theend_frame() == 0) {
    }
    // Hold the last window for two seconds, then fade out.
    timeval deadline;
    box::gettimeofday(&deadline);
    deadline.tv_sec += 2;
    while (before(deadline)) theend_frame();
    theend_fadeout_init();
    while (fade_step() == 0) theend_frame();
    theend_deinit();
}

}  // namespace

int show_main(int argc, char** argv) {
    // Further arguments are ignored.
    // A number too large for 32 bits still means "the end titles only".
    std::uint32_t section = argc > 1 ? std::uint32_t(std::min<unsigned long>(std::strtoul(argv[1], nullptr, 0), UINT32_MAX)) : 0;

    // Every way out of the program gives the box back: the failure exits of the effects
    // and of start-up as well as the normal end, and a stop from the first moment the
    // console is touched.
    std::atexit(give_box_back);
    box::on_stop(stop_show);
    ftty = box::fopen("/dev/tty0", "wb");
    if (ftty != nullptr) {
        std::fwrite(kConsoleStart, 1, sizeof kConsoleStart - 1, ftty);
        std::fflush(ftty);
    }

    if (init_framebuf() != 0) std::exit(kExitSetUpFailed);
    box::ioctl(fbfd, FBIOPUTCMAP, &black);

    fp = open_data_file();
    if (fp == nullptr) std::exit(kExitNoFile);
    initcrypt(kDataSeed);

    if (section == 0) {
        thnx();
        cryptseek(fp, 1, SEEK_CUR);
    } else {
        cryptseek(fp, kMainSoundtrackOffset, SEEK_CUR);
        calc_sinetable();
    }
    if (crypted_ac3_init(fp) < 0) std::exit(kExitSetUpFailed);

    if (section <= 1)
        fire_section();
    else
        ac3_skip(kFireEnd);
    if (section <= 2)
        zoomer_section();
    else
        ac3_skip(kZoomEnd);
    if (section <= 3) {
        threedee_section(section);
    } else {
        // The end titles need the stars that the 3D set-up makes. The set-up keeps the
        // sound fed, so the soundtrack is positioned first: only the titles' music plays.
        ac3_skip(kThreedeeEnd);
        threedee_init();
        threedee_deinit();
    }
    end_section();

    ac3_stop(0);
    restore_framebuf();
    box::close(fbfd);
    fbfd = 0;
    std::fclose(fp);
    fp = nullptr;
    reset_console();
    return 0;
}
