// Tests of the point-source kernels: a chunk of targets (pipelined full
// vectors and one-lane remainder) against each target alone, bit for bit,
// on every compiled target.
#include <gtest/gtest.h>

#include "tests/cpp/support.hpp"

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "sources/point/point.hpp"

namespace corvane {
namespace {

struct Kernel {
    const char* name;
    ElementKernel kernel;
};
void PrintTo(const Kernel& k, std::ostream* os) { *os << k.name; }

const Kernel kKernels[] = {{"point_a_from_m", point_a_from_m},
                           {"point_h_from_m", point_h_from_m},
                           {"point_a_from_j", point_a_from_j},
                           {"point_h_from_j", point_h_from_j}};

const ElementNodes kNodes{Vec3{0.1, -0.2, 0.3}, Vec3{1.3, 0.1, 0.2}, Vec3{0.2, 1.1, 0.4}, Vec3{0.3, 0.2, 1.5}};
const Vec3 kVector{0.7, -1.1, 2.3};
const std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

using testing::for_each_target;
using testing::KernelLists;

// Targets around the element: most outside the equivalent sphere, every
// fifth inside it, one at the centroid, one with a NaN coordinate; outputs
// that already hold values.
struct Lists : KernelLists {
    explicit Lists(std::size_t n) {
        const PointSource src = point_source(kNodes, kVector);
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3 dir{u(rng), u(rng), u(rng)};
            const double scale = (i % 5 == 2 ? 0.4 : 3.0) * src.equivalent_radius;
            Vec3 p = src.centroid + dir * scale;
            if (i == 6) p = src.centroid;
            if (i == 9) p.y = std::numeric_limits<double>::quiet_NaN();
            x.push_back(p.x), y.push_back(p.y), z.push_back(p.z);
            fx.push_back(0.5 + 0.01 * static_cast<double>(i)), fy.push_back(-1.0), fz.push_back(2.0);
        }
    }
};

class PointKernel : public ::testing::TestWithParam<Kernel> {};

TEST_P(PointKernel, ChunkMatchesEachTargetAloneForEveryLengthAndOffset) {
    const ElementKernel kernel = GetParam().kernel;
    // Up to six vectors and a remainder: the pipelined loop fills, runs and drains.
    const std::size_t max_n = 6 * kMaxLanes + 1, max_offset = 3, total = max_n + max_offset;
    for_each_target([&] {
        Lists alone(total);
        const Lists untouched(total);
        for (std::size_t i = 0; i < total; ++i) kernel(kNodes, kVector, alone.chunk(i, 1));
        for (std::size_t offset = 0; offset <= max_offset; ++offset) {
            for (std::size_t n = 0; n <= max_n; ++n) {
                Lists together(total);
                kernel(kNodes, kVector, together.chunk(offset, n));
                for (std::size_t i = 0; i < total; ++i) {
                    const Lists& expected = (i >= offset && i < offset + n) ? alone : untouched;
                    ASSERT_TRUE(together.same(expected, i)) << offset << " " << n << " " << i;
                }
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(AllKernels, PointKernel, ::testing::ValuesIn(kKernels),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane
