// Tests of fast_atan2 and fast_ln (scalar and vector forms on every compiled
// target), the elementwise atan2 and apply_permutation.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tests/cpp/test_fast_math.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "math/fast_math-inl.h"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {

// Vector forms over whole lists: full vectors, then one-lane tail.
void FastMathLanes(const double* y, const double* x, double* angle, double* ln, std::size_t n) {
    for_each_block(n, [&](auto d, std::size_t i) HWY_ATTR {
        hn::StoreU(FastAtan2(d, hn::LoadU(d, y + i), hn::LoadU(d, x + i)), d, angle + i);
        hn::StoreU(FastLn(d, hn::LoadU(d, x + i)), d, ln + i);
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <gtest/gtest.h>

#include "tests/cpp/support.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lib/failure.hpp"
#include "math/atan2_array.hpp"
#include "math/fast_math.hpp"
#include "math/permutation.hpp"

namespace corvane {
HWY_EXPORT(FastMathLanes);

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double pi = 3.141592653589793;
constexpr double half_pi = 1.5707963267948966;

// Same value and same sign bit; any NaN matches any NaN.
bool same_bits(double a, double b) { return (std::isnan(a) && std::isnan(b)) || testing::same_bits(a, b); }

using testing::for_each_target;

struct Case {
    double y, x, expected;
};

// Sum of the six polynomial coefficients, as Horner with s = 1 gives it.
const double kAtan2OneOne = 0.99997726 + (-0.33262347 + (0.19354346 + (-0.11643287 + (0.05265332 + -0.0117212))));

const Case kAtan2Cases[] = {
    {0.0, 0.0, 0.0},          {-0.0, 0.0, -0.0},   {0.0, -0.0, 0.0},     {0.0, -1.0, pi},
    {-0.0, -1.0, -pi},        {1.0, 0.0, half_pi}, {1.0, -0.0, half_pi}, {-1.0, 0.0, -half_pi},
    {1.0, 1.0, kAtan2OneOne}, {3.0, 4.0, 0.6435026883946038}, {1e-20, 1e-20, 9.998772689475357e-05},
    {1e-16, 1e-16, 0.4636464128515625}, {inf, 1.0, half_pi}, {inf, inf, nan}, {nan, 1.0, nan}, {1.0, nan, nan},
};

// fast_ln(x): y unused.
const Case kLnCases[] = {{0, 1.0, 0.0}, {0, 2.0, 0.6931471805599453}, {0, -2.0, 0.6931471805599453},
                         {0, 0.0, -709.0895657128241}, {0, inf, 709.782712893384}};

TEST(FastMath, KnownValuesBitForBit) {
    EXPECT_NEAR(kAtan2OneOne, 0.7853965, 5e-8);
    for (const Case& c : kAtan2Cases) EXPECT_TRUE(same_bits(fast_atan2(c.y, c.x), c.expected)) << c.y << ", " << c.x;
    for (const Case& c : kLnCases) EXPECT_TRUE(same_bits(fast_ln(c.x), c.expected)) << c.x;
    EXPECT_TRUE(std::isfinite(fast_ln(nan)));
}

TEST(FastMath, WithinStatedAccuracy) {
    double worst = 0.0;
    for (int i = 0; i < 3600; ++i) {
        const double phi = -pi + (i + 0.5) * (2.0 * pi / 3600.0);
        worst = std::max(worst, std::fabs(fast_atan2(std::sin(phi), std::cos(phi)) - phi));
    }
    EXPECT_LT(worst, 1.7e-6);
    EXPECT_GT(worst, 1e-7);  // the approximation, not the platform's function
    for (double x = 1e-300; x < 1e300; x *= 1.37) EXPECT_NEAR(fast_ln(x), std::log(x), 1.1e-7) << x;
}

// The known cases and random operands of all magnitudes and signs.
void operands(std::vector<double>& y, std::vector<double>& x) {
    for (const Case& c : kAtan2Cases) y.push_back(c.y), x.push_back(c.x);
    for (const Case& c : kLnCases) y.push_back(-c.x), x.push_back(c.x);
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 19997; ++i) {
        const double scale = std::pow(10.0, 40.0 * u(rng));
        y.push_back(u(rng) * scale);
        x.push_back(u(rng) * scale * (i % 5 == 0 ? 1e-17 : 1.0));
    }
}

TEST(FastMath, VectorFormsMatchScalarOnEveryTarget) {
    std::vector<double> y, x;
    operands(y, x);
    for_each_target([&] {
        std::vector<double> angle(x.size()), ln(x.size());
        HWY_DYNAMIC_DISPATCH(FastMathLanes)(y.data(), x.data(), angle.data(), ln.data(), x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            EXPECT_TRUE(same_bits(angle[i], fast_atan2(y[i], x[i]))) << i;
            EXPECT_TRUE(same_bits(ln[i], fast_ln(x[i]))) << i;
        }
        for (std::size_t n = 0; n <= 3 * (HWY_MAX_BYTES / sizeof(double)) + 1; ++n) {
            const std::span<const double> ys(y.data() + 1, n), xs(x.data() + 1, n);
            const std::vector<double> wide = atan2_array(ys, xs);
            ASSERT_EQ(wide.size(), n);
            for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(same_bits(wide[i], fast_atan2(ys[i], xs[i])));
        }
    });
}

std::string permuted(std::initializer_list<double> values, std::initializer_list<std::size_t> order) {
    try {
        const auto r = apply_permutation(std::vector<double>(values), std::vector<std::size_t>(order));
        std::string text;
        for (const double v : *r) text += std::to_string(static_cast<int>(v)) + " ";
        return text;
    } catch (const Failure& e) {
        return e.what();
    }
}

TEST(ApplyPermutation, GathersKeepsTheTailAndChecksIndices) {
    EXPECT_EQ(permuted({0, 1, 2, 10, 11, 12, 20, 21, 22}, {2, 0, 1}), "20 21 22 0 1 2 10 11 12 ");
    EXPECT_EQ(permuted({0, 1, 2, 10, 11, 12, 20, 21, 22}, {}), "0 1 2 10 11 12 20 21 22 ");
    EXPECT_EQ(permuted({0, 1, 2, 10, 11, 12, 20, 21, 22}, {2, 2}), "20 21 22 20 21 22 20 21 22 ");
    EXPECT_EQ(permuted({0, 1, 2, 10, 11, 12}, {0, 2}), "index out of bounds: the len is 2 but the index is 2");
    EXPECT_EQ(permuted({0, 1, 2, 10, 11, 12}, {0, 1, 0}), "index out of bounds: the len is 2 but the index is 2");
    EXPECT_FALSE(apply_permutation(std::nullopt, std::vector<std::size_t>{0}).has_value());
}

}  // namespace
}  // namespace corvane
#endif  // HWY_ONCE
