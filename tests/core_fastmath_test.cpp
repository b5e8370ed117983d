// The fixed-point sine table: its values, and that the one-step-at-a-time path the
// prelude uses builds exactly the table the one-shot path builds.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

#include "show/fastmath.h"
#include "testbox.h"

namespace {

std::int32_t saved[16384];

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

TEST(SineTable, AntisymmetricAndEqualToDirectFormula) {
    calc_sinetable();
    for (int i = 0; i < 8192; i++) ASSERT_EQ(sinetable[i + 8192], -sinetable[i]) << "entry " << i;
    // Angles carried by addition stay close enough to i * pi / 8192 that truncation
    // never differs from the directly computed table.
    for (int i = 0; i < 16384; i++) {
        auto direct = std::int32_t(std::sin(i * (M_PI / 8192.0)) * 65536.0);
        ASSERT_EQ(sinetable[i], direct) << "entry " << i;
    }
}

TEST(SineTable, StepByStepEqualsOneShot) {
    calc_sinetable();
    std::memcpy(saved, sinetable, sizeof saved);
    std::memset(sinetable, 0, sizeof sinetable);

    for (int call = 1; call <= 16384; call++) ASSERT_EQ(calc_step(), 0) << "call " << call;
    EXPECT_EQ(std::memcmp(saved, sinetable, sizeof saved), 0);

    // Once complete it does nothing more, however often it is called.
    sinetable[5] = 12345;
    EXPECT_EQ(calc_step(), 1);
    EXPECT_EQ(calc_step(), 1);
    EXPECT_EQ(sinetable[5], 12345);
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
}

}  // namespace
