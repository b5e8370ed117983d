// The scrambled data stream.
//
// Every byte of the data file is XORed with a keystream: successive values of the C
// library's re-entrant generator rand_r, four bytes each, lowest first. The readers
// (AC-3 loader, PNG callback, end-title loader) go through cryptread and cryptseek,
// which keep the keystream aligned with the file position. simplecrypt applies the
// same scrambling to a block in memory with its own keystream.
//
// The keystream is part of the data format, so the generator's arithmetic is carried
// here (glibc's rand_r) rather than taken from whatever C library the box has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct cryptstat {
    std::uint32_t seed;   // initial seed: restarts the keystream at file offset 0
    std::uint32_t state;  // generator state
    std::uint32_t word;   // last generator value, shifted by 8 for each byte used
    int left;             // bytes of word not used yet
};

// glibc's rand_r: three steps of its linear congruential generator, 31 bits out.
std::uint32_t keystream_rand_r(std::uint32_t* state);

void initcrypt(std::uint32_t seed);
std::size_t cryptread(void* buf, std::size_t size, std::size_t count, std::FILE* file);
int cryptseek(std::FILE* file, long offset, int whence);
void savecryptstat(struct cryptstat* record);
void restorecryptstat(const struct cryptstat* record);
void simplecrypt(std::uint8_t* buf, std::size_t len, std::uint32_t seed);
