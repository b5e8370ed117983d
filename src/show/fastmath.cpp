#include "show/fastmath.h"

#include <cmath>
#include <cstring>

std::int32_t sinetable[16384];

namespace {

// pi / 8192; exact as a double, since 8192 is a power of two.
constexpr double kStep = M_PI / 8192.0;

int calc_cnt;
double calc_a;

// The polynomials and the reduction by pi / 2 are Sun's fdlibm ones (k_sin.c, k_cos.c,
// e_rem_pio2.c): minimax on [-pi/4, pi/4], pi / 2 split into pieces of 33 bits so that
// n * piece is exact.
constexpr double kS1 = -1.66666666666666324348e-01, kS2 = 8.33333333332248946124e-03,
                 kS3 = -1.98412698298579493134e-04, kS4 = 2.75573137070700676789e-06,
                 kS5 = -2.50507602534068634195e-08, kS6 = 1.58969099521155010221e-10;
constexpr double kC1 = 4.16666666666666019037e-02, kC2 = -1.38888888888741095749e-03,
                 kC3 = 2.48015872894767294178e-05, kC4 = -2.75573143513906633035e-07,
                 kC5 = 2.08757232129817482790e-09, kC6 = -1.13596475577881948265e-11;
constexpr double kInvPio2 = 6.36619772367581382433e-01;
constexpr double kPio2_1 = 1.57079632673412561417e+00, kPio2_1t = 6.07710050650619224932e-11;
constexpr double kPio2_2 = 6.07710050630396597660e-11, kPio2_2t = 2.02226624879595063154e-21;
constexpr double kPio2_3 = 2.02226624871116645580e-21, kPio2_3t = 8.47842766036889956997e-32;

// sin(x + y) for |x + y| <= pi / 4, y the tail of x.
double kernel_sin(double x, double y) {
    double z = x * x, w = z * z;
    double r = kS2 + z * (kS3 + z * kS4) + z * w * (kS5 + z * kS6);
    double v = z * x;
    return x - ((z * (0.5 * y - v * r) - y) - v * kS1);
}

// cos(x + y) for |x + y| <= pi / 4, y the tail of x.
double kernel_cos(double x, double y) {
    double z = x * x, w = z * z;
    double r = z * (kC1 + z * (kC2 + z * kC3)) + w * w * (kC4 + z * (kC5 + z * kC6));
    double hz = 0.5 * z;
    w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (z * r - x * y));
}

int exponent(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return int(bits >> 52) & 0x7ff;
}

// x = n pi / 2 + (y0 + y1), |y0 + y1| <= pi / 4 and a little: returns n. Each further
// round subtracts the next 33 bits of pi / 2 where the first ones cancelled most of x.
int reduce(double x, double& y0, double& y1) {
    const double q = x * kInvPio2;
    const int n = int(q < 0 ? q - 0.5 : q + 0.5);
    const double fn = n;
    double r = x - fn * kPio2_1;
    double w = fn * kPio2_1t;
    y0 = r - w;
    const int e = exponent(x);
    if (e - exponent(y0) > 16) {
        double t = r;
        w = fn * kPio2_2;
        r = t - w;
        w = fn * kPio2_2t - ((t - r) - w);
        y0 = r - w;
        if (e - exponent(y0) > 49) {
            t = r;
            w = fn * kPio2_3;
            r = t - w;
            w = fn * kPio2_3t - ((t - r) - w);
            y0 = r - w;
        }
    }
    y1 = (r - y0) - w;
    return n;
}

// sin(x + quarters pi / 2).
double quadrant_sine(double x, int quarters) {
    double y0 = x, y1 = 0.0;
    const int n = std::fabs(x) <= M_PI_4 ? 0 : reduce(x, y0, y1);
    switch ((n + quarters) & 3) {
    case 0: return kernel_sin(y0, y1);
    case 1: return kernel_cos(y0, y1);
    case 2: return -kernel_sin(y0, y1);
    default: return -kernel_cos(y0, y1);
    }
}

}  // namespace

double sine(double x) { return quadrant_sine(x, 0); }

// cos x = sin(x + pi / 2): the kernels of the next quadrant.
double cosine(double x) { return quadrant_sine(x, 1); }

void calc_sinetable() {
    // The angle is carried by repeated addition, exactly as calc_step does.
    double a = 0.0;
    for (int i = 0; i < 16384; i++) {
        double p = sine(a) * 65536.0;
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
    sinetable[i] = std::int32_t(sine(calc_a) * 65536.0);
    calc_a = calc_a + kStep;
    return 0;
}
