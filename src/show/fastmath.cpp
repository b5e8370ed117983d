#include "show/fastmath.h"

#include <cmath>

std::int32_t sinetable[16384];

namespace {

// pi / 8192; exact as a double, since 8192 is a power of two.
constexpr double kStep = M_PI / 8192.0;

int calc_cnt;
double calc_a;

}  // namespace

void calc_sinetable() {
    // The angle is carried by repeated addition, exactly as calc_step does.
    double a = 0.0;
    for (int i = 0; i < 16384; i++) {
        double p = std::sin(a) * 65536.0;
        sinetable[i] = std::int32_t(p);
        a = a + kStep;
    }
}

void init_calc() {
    calc_cnt = 0;
    calc_a = 0.0;
}

int calc_step() {
    if (calc_cnt >= 16384) return 1;
    int i = calc_cnt;
    calc_cnt = i + 1;
    sinetable[i] = std::int32_t(std::sin(calc_a) * 65536.0);
    calc_a = calc_a + kStep;
    return 0;
}
