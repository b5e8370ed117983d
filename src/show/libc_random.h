// glibc's srand()/rand() (the additive feedback generator of its random()), as constexpr
// arithmetic, so that a value masked at build time is unmasked the same way on a box
// whatever its C library.
#pragma once

#include <cstdint>

class LibcRandom {
public:
    constexpr explicit LibcRandom(std::uint32_t seed) {
        // glibc keeps the starting value in a signed 32-bit word.
        std::int32_t word = std::int32_t(seed == 0 ? 1 : seed);
        r_[0] = word;
        for (int i = 1; i < 31; i++) {
            // word = 16807 * word % 2147483647 without overflowing 31 bits
            std::int64_t hi = word / 127773;
            std::int64_t lo = word % 127773;
            word = std::int32_t(16807 * lo - 2836 * hi);
            if (word < 0) word += 2147483647;
            r_[i] = word;
        }
        front_ = 3;
        rear_ = 0;
        for (int i = 0; i < 310; i++) next();
    }

    constexpr std::int32_t next() {
        std::uint32_t sum = std::uint32_t(r_[front_]) + std::uint32_t(r_[rear_]);
        r_[front_] = std::int32_t(sum);
        std::int32_t result = std::int32_t(sum >> 1);
        front_ = (front_ + 1) % 31;
        rear_ = (rear_ + 1) % 31;
        return result;
    }

private:
    std::int32_t r_[31]{};
    int front_ = 0;
    int rear_ = 0;
};
