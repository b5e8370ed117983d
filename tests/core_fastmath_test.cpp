// The show's own sine and cosine, and the fixed-point sine table: its values, and that
// the one-step-at-a-time path the prelude uses builds exactly the table the one-shot
// path builds.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

#include "show/fastmath.h"
#include "testbox.h"

namespace {

std::int32_t saved[16384];

// Within one unit in the last place of the value the C library's long double functions
// give, over the whole range the functions are made for and closely around every
// multiple of pi / 4 (where the reduction cancels most of x, and where the result is 0
// or 1). Where long double is no wider than double there is no finer reference.
TEST(Sine, WithinOneUlpOfALongerReference) {
    if (LDBL_MANT_DIG <= DBL_MANT_DIG) GTEST_SKIP() << "long double is double here";
    auto check = [](double x) {
        const long double s = sinl(x), c = cosl(x);
        ASSERT_LE(std::fabs(sine(x) - s), std::nextafter(std::fabs(double(s)), INFINITY) - std::fabs(double(s)))
            << "sin " << x;
        ASSERT_LE(std::fabs(cosine(x) - c), std::nextafter(std::fabs(double(c)), INFINITY) - std::fabs(double(c)))
            << "cos " << x;
    };
    const double limit = 1048576.0 * M_PI_2;
    for (double x = -limit; x < limit; x += limit / 50000.0 + 1e-7) check(x);
    for (int k = -4000; k <= 4000; k++) {
        double x = k * M_PI_4;
        for (int n = 0; n < 16; n++) {
            check(x);
            x = std::nextafter(x, INFINITY);
        }
    }
    for (double x = 1e-300; x < 1.0; x *= 1.7) {
        check(x);
        check(-x);
    }
}

TEST(SineTable, ListedEntries) {
    calc_sinetable();
    const struct {
        int index;
        std::int32_t value;
    } listed[] = {{0, 0},         {1, 25},     {2, 50},         {2048, 46340}, {4095, 65535}, {4096, 65536},
                  {4097, 65535},  {8191, 25},  {8192, 0},       {8193, -25},   {12288, -65536}, {16383, -25}};
    for (const auto& e : listed) EXPECT_EQ(sinetable[e.index], e.value) << "entry " << e.index;
    // The cosine of the last angle wraps round to entry 4095.
    EXPECT_EQ(sinetable[(16383 + 4096) & 0x3fff], 65535);
    // Every entry as an x86-64 build has it: the same table on every CPU.
    EXPECT_EQ(testbox::digest(sinetable, 16384), 0x25c205f6dad0b2ecull);
}

TEST(SineTable, OneShotLeavesTheStepStateAlone) {
    for (int i = 0; i < 100; i++) ASSERT_EQ(calc_step(), 0);
    calc_sinetable();
    std::memcpy(saved, sinetable, sizeof saved);
    std::memset(sinetable, 0, sizeof sinetable);

    // The step path carries on at entry 100 with its own angle, not from 0.
    for (int i = 100; i < 16384; i++) ASSERT_EQ(calc_step(), 0) << "entry " << i;
    EXPECT_EQ(calc_step(), 1);
    for (int i = 0; i < 100; i++) ASSERT_EQ(sinetable[i], 0);
    for (int i = 100; i < 16384; i++) ASSERT_EQ(sinetable[i], saved[i]) << "entry " << i;
}

// Step by step, from init_calc on, builds the one-shot table, then stops.
TEST(SineTable, InitCalcStartsTheStepPathAgain) {
    while (calc_step() == 0) {
    }
    calc_sinetable();
    std::memcpy(saved, sinetable, sizeof saved);
    std::memset(sinetable, 0, sizeof sinetable);

    init_calc();
    int calls = 0;
    while (calc_step() == 0) calls++;
    EXPECT_EQ(calls, 16384);
    EXPECT_EQ(std::memcmp(saved, sinetable, sizeof saved), 0);

    // Once complete it does nothing more, however often it is called.
    sinetable[5] = 12345;
    EXPECT_EQ(calc_step(), 1);
    EXPECT_EQ(calc_step(), 1);
    EXPECT_EQ(sinetable[5], 12345);
}

}  // namespace
