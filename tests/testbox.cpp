#include "testbox.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "show/encryption.h"

namespace testbox {

const std::string& temp_dir() {
    static const std::string dir = [] {
        std::string d = std::filesystem::temp_directory_path() / ("demo-test-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
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
