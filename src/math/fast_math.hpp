// Fast two-argument arctangent and natural logarithm used by the tetrahedron
// kernels and by the exported atan2; their values are part of the results.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace corvane {

// Angle of (x, y) in [-pi, pi], within about 1.7e-6 rad. The 1e-16 guards keep
// (0, 0) finite; x = -0.0 is not reflected; the sign is taken from y's sign bit.
inline double fast_atan2(double y, double x) {
    const double ay = std::fabs(y);
    const double ax = std::fabs(x);
    const bool steep = ay > ax;
    const double s = steep ? ax / (ay + 1e-16) : ay / (ax + 1e-16);
    const double z = s * s;
    const double p = std::fma(
        z,
        std::fma(z, std::fma(z, std::fma(z, std::fma(z, -0.0117212, 0.05265332), -0.11643287), 0.19354346),
                 -0.33262347),
        0.99997726);
    const double sp = s * p;
    double theta = steep ? 1.5707963267948966 - sp : sp;
    if (x < 0.0) theta = 3.141592653589793 - theta;
    return std::copysign(theta, y);
}

// ln|x| within about 1.1e-7 for normal x, from the exponent and significand
// fields without a branch: 0 gives -1023 ln 2, +-inf gives 1024 ln 2, and
// NaN gives a finite value.
inline double fast_ln(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const double e = static_cast<double>(static_cast<std::int64_t>((bits >> 52) & 0x7ffu) - 1023);
    const double m = std::bit_cast<double>((bits & 0x000fffffffffffffu) | 0x3ff0000000000000u);
    const double t = (m - 1.0) / (1.0 + m);
    const double z = t * t;
    const double q = std::fma(
        z,
        std::fma(z,
                 std::fma(z, std::fma(z, std::fma(z, 0.09090909090909091, 0.1111111111111111), 0.14285714285714285),
                          0.2),
                 0.3333333333333333),
        1.0);
    return e * 0.6931471805599453 + (2.0 * t) * q;
}

}  // namespace corvane
