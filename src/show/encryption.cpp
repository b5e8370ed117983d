#include "show/encryption.h"

namespace {

cryptstat encs;

std::uint8_t next_byte(cryptstat& s) {
    if (s.left == 0) {
        s.word = keystream_rand_r(&s.state);
        s.left = 4;
    }
    std::uint8_t b = std::uint8_t(s.word & 0xff);
    s.word >>= 8;
    s.left--;
    return b;
}

void advance(cryptstat& s, long n) {
    for (long i = 0; i < n; i++) next_byte(s);
}

}  // namespace

std::uint32_t keystream_rand_r(std::uint32_t* state) {
    std::uint32_t next = *state;
    std::uint32_t result;
    next = next * 1103515245u + 12345u;
    result = (next / 65536u) % 2048u;
    next = next * 1103515245u + 12345u;
    result <<= 10;
    result ^= (next / 65536u) % 1024u;
    next = next * 1103515245u + 12345u;
    result <<= 10;
    result ^= (next / 65536u) % 1024u;
    *state = next;
    return result;
}

void initcrypt(std::uint32_t seed) {
    encs.seed = seed;
    encs.state = seed;
    encs.word = 0;
    encs.left = 0;
}

std::size_t cryptread(void* buf, std::size_t size, std::size_t count, std::FILE* file) {
    std::size_t got = std::fread(buf, size, count, file);
    // The whole request is unscrambled even after a short read, as the readers expect.
    auto* bytes = static_cast<std::uint8_t*>(buf);
    for (std::size_t i = 0; i < size * count; i++) bytes[i] ^= next_byte(encs);
    return got;
}

int cryptseek(std::FILE* file, long offset, int whence) {
    long p0 = std::ftell(file);
    int r = std::fseek(file, offset, whence);
    long p1 = std::ftell(file);
    if (p1 < p0) {
        encs.state = encs.seed;
        encs.left = 0;
        advance(encs, p1);
    } else {
        advance(encs, p1 - p0);
    }
    return r;
}

void savecryptstat(struct cryptstat* record) { *record = encs; }

void restorecryptstat(const struct cryptstat* record) { encs = *record; }

void simplecrypt(std::uint8_t* buf, std::size_t len, std::uint32_t seed) {
    cryptstat local{seed, seed, 0, 0};
    for (std::size_t i = 0; i < len; i++) buf[i] ^= next_byte(local);
}
