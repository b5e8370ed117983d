#include "testbox.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <fcntl.h>
#include <sys/soundcard.h>
#include <sys/wait.h>
#include <unistd.h>

#include "box/box.h"
#include "box/emu/iec61937.h"
#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/ac3audio.h"
#include "show/encryption.h"

namespace testbox {

namespace {

pid_t owner;
std::string made_dir;

// Removed by the process that made it; not by the children of death tests.
void remove_temp_dir() {
    if (getpid() == owner) std::filesystem::remove_all(made_dir);
}

// The length the header of the AC-3 frame at bytes[pos] gives, 0 for none.
std::size_t ac3_frame_length(const Bytes& bytes, std::size_t pos) {
    return emu::Iec61937Receiver::ac3_frame_length(bytes[pos + 4] >> 6, bytes[pos + 4] & 0x3F);
}

}  // namespace

const std::string& temp_dir() {
    if (made_dir.empty()) {
        owner = getpid();
        made_dir = std::filesystem::temp_directory_path() / ("demo-test-" + std::to_string(owner));
        std::filesystem::create_directories(made_dir);
        std::atexit(remove_temp_dir);
    }
    return made_dir;
}

Bytes read_file(const std::string& path) {
    Bytes bytes;
    ::read_file(path, bytes);
    return bytes;
}

std::string text_of(const std::string& path) {
    Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (!::write_file(path, bytes)) throw std::runtime_error("cannot write " + path);
}

emu::Box& fresh_box(emu::Config config) {
    if (config.root.empty()) config.root = temp_dir() + "/box";
    std::filesystem::create_directories(config.root);
    return emu::reset(config);
}

int open_dsp(int rate) {
    int fd = box::open("/dev/dsp", O_WRONLY);
    if (fd < 0) throw std::runtime_error("/dev/dsp does not open");
    const int format = AFMT_S16_LE;
    struct Setting {
        unsigned long request;
        int value;
    } settings[] = {{SNDCTL_DSP_SETFMT, format}, {SNDCTL_DSP_CHANNELS, 2}, {SNDCTL_DSP_SPEED, rate}};
    for (Setting& s : settings)
        if (box::ioctl(fd, s.request, &s.value) != 0) throw std::runtime_error("/dev/dsp refuses a setting");
    return fd;
}

std::string program(const std::string& path) { return std::string(EMULATOR) + BIN_DIR + "/" + path; }

std::uint64_t digest(const std::int32_t* values, std::size_t count) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < count; i++)
        for (int s = 0; s < 32; s += 8) h = (h ^ ((std::uint32_t(values[i]) >> s) & 0xff)) * 1099511628211ull;
    return h;
}

Bytes model_block(const std::vector<std::array<int, 3>>& vertices, const std::vector<std::array<int, 3>>& faces) {
    Bytes b;
    auto put = [&b](int value) {
        b.push_back(std::uint8_t(value & 0xff));
        b.push_back(std::uint8_t((value >> 8) & 0xff));
    };
    put(int(vertices.size()));
    put(int(faces.size()));
    for (const auto& list : {vertices, faces})
        for (const auto& triple : list)
            for (int c : triple) put(c);
    return b;
}

Bytes tone_ac3(int rate) {
    std::string name = rate == 44100 ? "tone44.ac3" : rate == 32000 ? "tone32.ac3" : "tone48.ac3";
    return read_file(std::string(TEST_DATA_DIR) + "/" + name);
}

int exit_code(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

void start_tone() {
    const std::string path = temp_dir() + "/tone.ac3";
    write_file(path, tone_ac3());
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot open " + path);
    const int status = ac3_init(f);
    std::fclose(f);
    if (status != 0) throw std::runtime_error("the AC-3 player refuses the test tone: " + std::to_string(status));
}

std::vector<std::size_t> ac3_frame_starts(const Bytes& bytes, std::size_t pos, std::size_t end) {
    end = std::min(end, bytes.size());
    std::vector<std::size_t> starts;
    while (pos + 6 <= end) {
        std::size_t len = ac3_frame_length(bytes, pos);
        if (len == 0) break;
        starts.push_back(pos);
        pos += len;
    }
    return starts;
}

std::vector<Bytes> ac3_frames(const Bytes& bytes, std::size_t pos, std::size_t end) {
    end = std::min(end, bytes.size());
    std::vector<Bytes> frames;
    for (std::size_t start : ac3_frame_starts(bytes, pos, end)) {
        std::size_t len = ac3_frame_length(bytes, start);
        if (start + len > end) break;
        frames.emplace_back(bytes.begin() + long(start), bytes.begin() + long(start + len));
        pos = start + len;
    }
    if (pos != end) throw std::runtime_error("not whole AC-3 frames: " + std::to_string(end - pos) + " bytes left");
    return frames;
}

std::vector<Bytes> soundtrack_frames(const std::string& data_file, const std::string& item) {
    Bytes data = read_file(data_file);
    std::vector<datafile::Item> items;
    std::string why;
    if (!datafile::unscramble_and_split(data, items, why)) throw std::runtime_error(data_file + ": " + why);
    for (const datafile::Item& i : items) {
        if (i.name != item) continue;
        std::vector<Bytes> frames = ac3_frames(data, i.offset, i.offset + i.size);
        if (frames.size() != i.frames)
            throw std::runtime_error(item + ": " + std::to_string(frames.size()) + " frames, the split says " + std::to_string(i.frames));
        return frames;
    }
    throw std::runtime_error("no " + item + " in " + data_file);
}

pid_t start_xvfb() {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        close(fds[0]);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDERR_FILENO);
        // Xvfb writes its display's number into the pipe it inherits.
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1200x24", "-nolisten", "tcp", nullptr);
        _exit(127);
    }
    close(fds[1]);
    // The number and its newline come in two writes: the pipe stays open until both
    // are in, or Xvfb fails on the second.
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (c != '\n') {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return pid;
}

std::FILE* open_scrambled(const Bytes& plain, std::uint32_t seed) {
    Bytes stored = plain;
    simplecrypt(stored.data(), stored.size(), seed);
    std::string path = temp_dir() + "/scrambled-" + std::to_string(seed) + ".bin";
    write_file(path, stored);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    initcrypt(seed);
    return f;
}

}  // namespace testbox
