// make-music SCORE OUT: plays a score with the synthesizer and writes the piece as
// raw 48 kHz stereo 16-bit little-endian samples, for the AC-3 encoder.
#include <cstdio>
#include <new>
#include <string>

#include "data/pngwrite.h"
#include "score.h"
#include "synth.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make-music SCORE OUT\n");
        return 1;
    }
    std::vector<std::uint8_t> score;
    if (!read_file(argv[1], score)) {
        std::fprintf(stderr, "make-music: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string text(score.begin(), score.end());
    music::Song song;
    std::string error;
    if (!music::parse(text, song, error)) {
        std::fprintf(stderr, "make-music: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    std::vector<std::uint8_t> pcm;
    try {
        pcm = music::pcm16(music::render(song));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "make-music: %s: not enough memory to play the piece\n", argv[1]);
        return 1;
    }
    if (!write_file(argv[2], pcm)) {
        std::fprintf(stderr, "make-music: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
