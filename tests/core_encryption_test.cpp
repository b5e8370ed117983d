// The scrambled data stream: the keystream's arithmetic, reads and seeks that keep it
// aligned with the file, and the block scrambler.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "show/encryption.h"
#include "show/libc_random.h"
#include "testbox.h"

namespace {

testbox::Bytes counting(std::size_t n) {
    testbox::Bytes b(n);
    for (std::size_t i = 0; i < n; i++) b[i] = std::uint8_t(i * 7 + 3);
    return b;
}

TEST(Keystream, CarriesTheCLibraryGenerators) {
    for (std::uint32_t seed : {0u, 1u, 12345u, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
        unsigned mine = seed, libc = seed;
        for (int i = 0; i < 1000; i++) ASSERT_EQ(keystream_rand_r(&mine), std::uint32_t(rand_r(&libc))) << seed;
        ASSERT_EQ(mine, libc);

        std::srand(seed);
        LibcRandom r(seed);
        for (int i = 0; i < 1000; i++) ASSERT_EQ(r.next(), std::rand()) << seed;
    }
}

TEST(Keystream, BytesComeLowestFirstFromEachValue) {
    testbox::Bytes zeros(8, 0);
    simplecrypt(zeros.data(), zeros.size(), 99);
    std::uint32_t state = 99;
    for (int w = 0; w < 2; w++) {
        std::uint32_t v = keystream_rand_r(&state);
        for (int b = 0; b < 4; b++) EXPECT_EQ(zeros[4 * w + b], std::uint8_t(v >> (8 * b)));
        EXPECT_LE(zeros[4 * w + 3], 127);
    }
}

TEST(Keystream, SplitReadsEqualOneRead) {
    testbox::Bytes plain = counting(64);
    std::FILE* f = testbox::open_scrambled(plain, 7);
    std::uint8_t a[10], b[10];
    ASSERT_EQ(cryptread(a, 5, 1, f), 1u);
    ASSERT_EQ(cryptread(a + 5, 1, 5, f), 5u);
    std::fclose(f);
    f = testbox::open_scrambled(plain, 7);
    ASSERT_EQ(cryptread(b, 10, 1, f), 1u);
    std::fclose(f);
    EXPECT_EQ(0, std::memcmp(a, b, 10));
    EXPECT_EQ(0, std::memcmp(a, plain.data(), 10));
}

TEST(Keystream, SeeksRealignTheKeystream) {
    testbox::Bytes plain = counting(300);
    std::FILE* f = testbox::open_scrambled(plain, 0xdeadbeef);
    std::uint8_t buf[100];
    cryptread(buf, 1, 100, f);
    EXPECT_EQ(0, std::memcmp(buf, plain.data(), 100));

    // Backward: restarts the keystream from the file's start.
    EXPECT_EQ(cryptseek(f, 0, SEEK_SET), 0);
    std::uint8_t again[100];
    cryptread(again, 1, 100, f);
    EXPECT_EQ(0, std::memcmp(again, plain.data(), 100));

    // Forward by an odd amount, in the middle of a keystream word.
    EXPECT_EQ(cryptseek(f, 7, SEEK_CUR), 0);
    cryptread(buf, 1, 13, f);
    EXPECT_EQ(0, std::memcmp(buf, plain.data() + 107, 13));

    // Backward to the middle, relative to the end.
    EXPECT_EQ(cryptseek(f, -53, SEEK_END), 0);
    cryptread(buf, 1, 53, f);
    EXPECT_EQ(0, std::memcmp(buf, plain.data() + 247, 53));
    std::fclose(f);
}

TEST(Keystream, SavedStateBracketsPlainSeeks) {
    testbox::Bytes plain = counting(40);
    std::FILE* f = testbox::open_scrambled(plain, 5);
    std::uint8_t buf[20];
    cryptread(buf, 1, 3, f);
    cryptstat saved;
    savecryptstat(&saved);
    cryptread(buf, 1, 20, f);
    std::fseek(f, 3, SEEK_SET);
    restorecryptstat(&saved);
    cryptread(buf, 1, 20, f);
    EXPECT_EQ(0, std::memcmp(buf, plain.data() + 3, 20));
    std::fclose(f);
}

TEST(Keystream, ShortReadStillUsesTheWholeRequest) {
    testbox::Bytes plain = counting(10);
    std::FILE* f = testbox::open_scrambled(plain, 11);
    std::uint8_t buf[16];
    EXPECT_EQ(cryptread(buf, 1, 16, f), 10u);
    EXPECT_EQ(0, std::memcmp(buf, plain.data(), 10));
    // The keystream is 16 bytes on, ahead of the file: a seek to the current
    // position (10) counts as backward and brings it back in line.
    EXPECT_EQ(cryptseek(f, 4, SEEK_SET), 0);
    cryptread(buf, 1, 6, f);
    EXPECT_EQ(0, std::memcmp(buf, plain.data() + 4, 6));
    std::fclose(f);
}

}  // namespace
