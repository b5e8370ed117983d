#include "testbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "data/datafile.h"
#include "show/encryption.h"

namespace testbox {

namespace {

pid_t owner;
std::string made_dir;

// Removed by the process that made it; not by the children of death tests.
void remove_temp_dir() {
    if (getpid() == owner) std::filesystem::remove_all(made_dir);
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
    datafile::read_file(path, bytes);
    return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

emu::Box& fresh_box(emu::Config config) {
    if (config.root.empty()) config.root = temp_dir() + "/box";
    std::filesystem::create_directories(config.root);
    return emu::reset(config);
}

std::string program(const std::string& path) { return std::string(EMULATOR) + BIN_DIR + "/" + path; }

Bytes tone_ac3(int rate) {
    std::string name = rate == 44100 ? "tone44.ac3" : rate == 32000 ? "tone32.ac3" : "tone48.ac3";
    return read_file(std::string(TEST_DATA_DIR) + "/" + name);
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
