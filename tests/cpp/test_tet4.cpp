// Tests of the exact tetrahedron kernels: the dispatched path against the
// one-lane path bit for bit on every compiled target, and the list checks.
#include <gtest/gtest.h>

#include "tests/cpp/support.hpp"
#include <hwy/highway.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "lib/failure.hpp"
#include "sources/tet4/tet4.hpp"
#include "sources/tet4/tet4_scalar.hpp"

namespace corvane {
namespace {

struct KernelPair {
    const char* name;
    ElementKernel dispatched, scalar;
};
void PrintTo(const KernelPair& k, std::ostream* os) { *os << k.name; }

const KernelPair kKernels[] = {{"tet4_a_from_m", tet4_a_from_m, tet4_a_from_m_scalar},
                               {"tet4_h_from_m", tet4_h_from_m, tet4_h_from_m_scalar},
                               {"tet4_a_from_j", tet4_a_from_j, tet4_a_from_j_scalar},
                               {"tet4_h_from_j", tet4_h_from_j, tet4_h_from_j_scalar}};

const ElementNodes kNodes{Vec3{0.1, -0.2, 0.05}, Vec3{1.3, 0.1, -0.1}, Vec3{0.2, 0.9, 0.3}, Vec3{0.3, 0.2, 1.1}};
const Vec3 kVector{0.7, -1.3, 2.1};
const std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

using testing::for_each_target;
using testing::same_bits;

// Targets (the awkward ones first: a vertex, an edge midpoint, a point inside
// a face, the centroid; then random ones) and outputs that already hold values.
struct Lists {
    std::vector<double> x, y, z, fx, fy, fz;
    explicit Lists(std::size_t n) {
        const Vec3 special[] = {kNodes[2], (kNodes[0] + kNodes[3]) * 0.5,
                                ((kNodes[1] + kNodes[2]) + kNodes[3]) * 0.3333333333333333,
                                (((kNodes[0] + kNodes[1]) + kNodes[2]) + kNodes[3]) * 0.25};
        std::mt19937_64 rng(3);
        std::uniform_real_distribution<double> u(-3.0, 3.0);
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3 p = i < 4 ? special[i] : Vec3{u(rng), u(rng), u(rng)};
            x.push_back(p.x), y.push_back(p.y), z.push_back(p.z);
            fx.push_back(1.0 + 0.001 * i), fy.push_back(-2.0), fz.push_back(3.0);
        }
    }
    ChunkPair chunk(std::size_t offset, std::size_t n) {
        const auto in = [&](const std::vector<double>& v) { return std::span<const double>(v).subspan(offset, n); };
        const auto out = [&](std::vector<double>& v) { return std::span<double>(v).subspan(offset, n); };
        return {in(x), in(y), in(z), out(fx), out(fy), out(fz)};
    }
    bool same(const Lists& o, std::size_t i) const {
        return same_bits(fx[i], o.fx[i]) && same_bits(fy[i], o.fy[i]) && same_bits(fz[i], o.fz[i]);
    }
};

class Tet4Kernel : public ::testing::TestWithParam<KernelPair> {};

TEST_P(Tet4Kernel, DispatchedMatchesScalarForEveryLengthAndOffset) {
    const KernelPair k = GetParam();
    const std::size_t max_n = 3 * kMaxLanes + 1, max_offset = 3, total = max_n + max_offset;
    // Reference: every target alone through the one-lane path.
    Lists ref(total);
    const Lists untouched(total);
    for (std::size_t i = 0; i < total; ++i) k.scalar(kNodes, kVector, ref.chunk(i, 1));
    for (std::size_t i = 0; i < total; ++i) {
        ASSERT_TRUE(std::isfinite(ref.fx[i]) && std::isfinite(ref.fy[i]) && std::isfinite(ref.fz[i])) << i;
    }
    for_each_target([&] {
        for (std::size_t offset = 0; offset <= max_offset; ++offset) {
            for (std::size_t n = 0; n <= max_n; ++n) {
                Lists wide(total), single(total);
                k.dispatched(kNodes, kVector, wide.chunk(offset, n));
                k.scalar(kNodes, kVector, single.chunk(offset, n));
                for (std::size_t i = 0; i < total; ++i) {
                    const Lists& expected = (i >= offset && i < offset + n) ? ref : untouched;
                    ASSERT_TRUE(wide.same(expected, i) && single.same(expected, i)) << offset << " " << n << " " << i;
                }
            }
        }
    });
}

// Outputs overlapping the targets (a caller's programming error) run the
// one-lane form, so the result still matches the scalar path.
TEST_P(Tet4Kernel, OverlappingListsFallBackToOneLane) {
    const KernelPair k = GetParam();
    const std::size_t n = 2 * kMaxLanes + 3;
    Lists wide(n + 1), single(n + 1);
    for (auto [kernel, l] : {std::pair{k.dispatched, &wide}, std::pair{k.scalar, &single}}) {
        ChunkPair c = l->chunk(0, n);
        c.fx = std::span<double>(l->x).subspan(1, n);
        kernel(kNodes, kVector, c);
    }
    for (std::size_t i = 0; i <= n; ++i) EXPECT_TRUE(same_bits(wide.x[i], single.x[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(AllKernels, Tet4Kernel, ::testing::ValuesIn(kKernels),
                         [](const auto& info) { return std::string(info.param.name); });

std::string failure_of(ElementKernel kernel, Lists& l, std::size_t short_list) {
    ChunkPair c = l.chunk(0, 3);
    std::span<const double>* inputs[] = {&c.x, &c.y, &c.z};
    std::span<double>* outputs[] = {&c.fx, &c.fy, &c.fz};
    if (short_list < 3) *inputs[short_list] = inputs[short_list]->first(2);
    else *outputs[short_list - 3] = outputs[short_list - 3]->first(2);
    try {
        kernel(kNodes, kVector, c);
    } catch (const Failure& e) {
        return e.what();
    }
    return "no failure";
}

TEST(Tet4Lengths, MismatchedListsFailBeforeAnyAccessOutOfBounds) {
    Lists l(6);
    EXPECT_EQ(failure_of(tet4_a_from_m, l, 2), "length of `z` does not match (left: 2, right: 3)");
    EXPECT_EQ(failure_of(tet4_a_from_m, l, 4), "length of `ay` does not match (left: 2, right: 3)");
    EXPECT_EQ(failure_of(tet4_h_from_j, l, 5), "length of `hz` does not match (left: 2, right: 3)");
    EXPECT_EQ(failure_of(tet4_a_from_j, l, 4), "assertion `left == right` failed (left: 2, right: 3)");
    EXPECT_EQ(failure_of(tet4_h_from_m, l, 4), "index out of bounds: the len is 2 but the index is 2");
    // tet4_h_from_m accepts longer lists and only visits the first len(x) entries.
    const Lists before(6);
    ChunkPair c = l.chunk(0, 6);
    c.x = c.x.first(3);
    tet4_h_from_m(kNodes, kVector, c);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(l.same(before, i), i >= 3) << i;
}

}  // namespace
}  // namespace corvane
