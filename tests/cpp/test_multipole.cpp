// Tests of the multipole kernels: the dispatched path against the one-lane
// path bit for bit on every compiled target, exact values in simple
// configurations, the list checks, and the order of convergence of each
// expansion towards the field of a cluster of point sources.
#include <gtest/gtest.h>

#include "tests/cpp/support.hpp"
#include <hwy/highway.h>

#include <cmath>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lib/failure.hpp"
#include "octree/kernels.hpp"
#include "octree/kernels_scalar.hpp"
#include "sources/point/point.hpp"

namespace corvane {
namespace {

using testing::for_each_target;
using testing::same_bits;

const double kFourPiInv = 0.07957747154594767;
const std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

struct KernelCase {
    const char* name;
    MultipoleKernel dispatched, scalar;
    const char* output_prefix;  // output names in the length messages
    ElementKernel point;        // the element kernel the expansion approximates
    int order;                  // order of the expansion
};
void PrintTo(const KernelCase& k, std::ostream* os) { *os << k.name; }

const KernelCase kKernels[] = {
    {"multipole_a_from_j", multipole_a_from_j, multipole_a_from_j_scalar, "a", point_a_from_j, 1},
    {"multipole_h_from_j_0", multipole_h_from_j_0, multipole_h_from_j_0_scalar, "h", point_h_from_j, 0},
    {"multipole_h_from_j_1", multipole_h_from_j_1, multipole_h_from_j_1_scalar, "h", point_h_from_j, 1},
    {"multipole_a_from_m_0", multipole_a_from_m_0, multipole_a_from_m_0_scalar, "h", point_a_from_m, 0},
    {"multipole_a_from_m_1", multipole_a_from_m_1, multipole_a_from_m_1_scalar, "h", point_a_from_m, 1},
    {"multipole_h_from_m_0", multipole_h_from_m_0, multipole_h_from_m_0_scalar, "h", point_h_from_m, 0}};

const Vec3 kCenter{0.1, -0.2, 0.3};
const Vec3 kMoment{0.7, -1.3, 2.1};
const FirstMoment kFirstMoment{0.3, -0.5, 0.2, 0.9, -0.1, 0.4, -0.7, 0.6, 0.25};
const NodeExpansion kExpansion{kCenter, kMoment, kFirstMoment};

// Targets (a point on an axis through the centre, a far one, then random
// ones) and outputs that already hold values.
struct Lists {
    std::vector<double> x, y, z, fx, fy, fz;
    explicit Lists(std::size_t n, double fill = 1.0) {
        const Vec3 special[] = {kCenter + Vec3{0.0, 0.0, 2.0}, Vec3{1e3, -2e3, 5e2}};
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> u(-3.0, 3.0);
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3 p = i < 2 ? special[i] : Vec3{u(rng), u(rng), u(rng)};
            x.push_back(p.x), y.push_back(p.y), z.push_back(p.z);
            fx.push_back(fill * (1.0 + 0.001 * i)), fy.push_back(fill * -2.0), fz.push_back(fill * 3.0);
        }
    }
    ChunkPair chunk(std::size_t offset, std::size_t n) {
        const auto in = [&](const std::vector<double>& v) { return std::span<const double>(v).subspan(offset, n); };
        const auto out = [&](std::vector<double>& v) { return std::span<double>(v).subspan(offset, n); };
        return {in(x), in(y), in(z), out(fx), out(fy), out(fz)};
    }
    ChunkPair all() { return chunk(0, x.size()); }
    bool same(const Lists& o, std::size_t i) const {
        return same_bits(fx[i], o.fx[i]) && same_bits(fy[i], o.fy[i]) && same_bits(fz[i], o.fz[i]);
    }
};

class MultipoleKernelTest : public ::testing::TestWithParam<KernelCase> {};

TEST_P(MultipoleKernelTest, DispatchedMatchesScalarForEveryLengthAndOffset) {
    const KernelCase k = GetParam();
    const std::size_t max_n = 3 * kMaxLanes + 1, max_offset = 3, total = max_n + max_offset;
    // Reference: every target alone through the one-lane path.
    Lists ref(total);
    const Lists untouched(total);
    for (std::size_t i = 0; i < total; ++i) k.scalar(kExpansion, ref.chunk(i, 1));
    for (std::size_t i = 0; i < total; ++i) {
        ASSERT_TRUE(std::isfinite(ref.fx[i]) && std::isfinite(ref.fy[i]) && std::isfinite(ref.fz[i])) << i;
        ASSERT_FALSE(ref.same(untouched, i)) << i;
    }
    for_each_target([&] {
        for (std::size_t offset = 0; offset <= max_offset; ++offset) {
            for (std::size_t n = 0; n <= max_n; ++n) {
                Lists wide(total), single(total);
                k.dispatched(kExpansion, wide.chunk(offset, n));
                k.scalar(kExpansion, single.chunk(offset, n));
                for (std::size_t i = 0; i < total; ++i) {
                    const Lists& expected = (i >= offset && i < offset + n) ? ref : untouched;
                    ASSERT_TRUE(wide.same(expected, i) && single.same(expected, i)) << offset << " " << n << " " << i;
                }
            }
        }
    });
}

TEST_P(MultipoleKernelTest, MismatchedListsFailBeforeAnythingIsWritten) {
    const KernelCase k = GetParam();
    const std::string names[] = {"y", "z", std::string(k.output_prefix) + "x", std::string(k.output_prefix) + "y",
                                 std::string(k.output_prefix) + "z"};
    for (std::size_t short_list = 0; short_list < 5; ++short_list) {
        Lists l(4);
        const Lists before(4);
        ChunkPair c = l.chunk(0, 3);
        std::span<const double>* inputs[] = {&c.y, &c.z};
        std::span<double>* outputs[] = {&c.fx, &c.fy, &c.fz};
        if (short_list < 2) *inputs[short_list] = inputs[short_list]->first(2);
        else *outputs[short_list - 2] = outputs[short_list - 2]->first(2);
        std::string message = "no failure";
        try {
            k.dispatched(kExpansion, c);
        } catch (const Failure& e) {
            message = e.what();
        }
        EXPECT_EQ(message, "length of `" + names[short_list] + "` does not match (left: 2, right: 3)");
        for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(l.same(before, i)) << short_list << " " << i;
    }
}

// A cluster of small tetrahedra with random vectors, evaluated through the
// point kernels, against the expansion of its moments at growing distances:
// the relative error of an expansion of order p falls like (size / dist)^(p+1).
TEST_P(MultipoleKernelTest, ConvergesAtItsOrderTowardsAClusterOfPointSources) {
    const KernelCase k = GetParam();
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    // Twelve tetrahedra of edge h within a cube of size 1 about the origin;
    // moments about a centre off the cluster's middle.
    const double h = 0.02, volume = h * h * h / 6.0;
    const Vec3 center{0.05, -0.03, 0.02};
    std::vector<std::pair<ElementNodes, Vec3>> sources;
    Vec3 q{};
    FirstMoment t{};
    for (int e = 0; e < 12; ++e) {
        const Vec3 p{u(rng), u(rng), u(rng)}, v{u(rng), u(rng), u(rng)};
        sources.push_back({{p, p + Vec3{h, 0.0, 0.0}, p + Vec3{0.0, h, 0.0}, p + Vec3{0.0, 0.0, h}}, v});
        const Vec3 qe = v * volume, d = (p + Vec3{h, h, h} * 0.25) - center;
        q = q + qe;
        const double qa[] = {qe.x, qe.y, qe.z}, db[] = {d.x, d.y, d.z};
        for (int a = 0; a < 9; ++a) t[a] += qa[a / 3] * db[a % 3];
    }
    // Relative error at each distance over 16 targets, in the directions of
    // the fixture's targets from its centre.
    double previous = 0.0;
    for (double dist = 16.0; dist <= 512.0; dist *= 2.0) {
        Lists approx(16, 0.0);
        for (std::size_t i = 0; i < 16; ++i) {
            const Vec3 n = Vec3{approx.x[i], approx.y[i], approx.z[i]} - kCenter;
            const Vec3 p = center + n * (dist / std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z));
            approx.x[i] = p.x, approx.y[i] = p.y, approx.z[i] = p.z;
        }
        Lists exact = approx;
        for (const auto& [nodes, vector] : sources) k.point(nodes, vector, exact.all());
        k.dispatched(NodeExpansion{center, q, t}, approx.all());
        double err = 0.0, norm = 0.0;
        for (std::size_t i = 0; i < 16; ++i) {
            for (auto f : {&Lists::fx, &Lists::fy, &Lists::fz}) {
                err += std::pow((approx.*f)[i] - (exact.*f)[i], 2);
                norm += std::pow((exact.*f)[i], 2);
            }
        }
        const double relative = std::sqrt(err / norm);
        if (previous > 0.0) {
            EXPECT_NEAR(std::log2(previous / relative), k.order + 1, 0.1) << dist;
        }
        previous = relative;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, MultipoleKernelTest, ::testing::ValuesIn(kKernels),
                         [](const auto& info) { return std::string(info.param.name); });

// Adds the kernel's field at one target to zeroed outputs.
Vec3 field_at(MultipoleKernel kernel, const NodeExpansion& e, const Vec3& target) {
    double x = target.x, y = target.y, z = target.z, fx = 0.0, fy = 0.0, fz = 0.0;
    kernel(e, ChunkPair{{&x, 1}, {&y, 1}, {&z, 1}, {&fx, 1}, {&fy, 1}, {&fz, 1}});
    return {fx, fy, fz};
}

TEST(MultipoleValues, DipoleAndCurrentElementOnAnAxis) {
    const Vec3 origin{};
    const FirstMoment zero{};
    const Vec3 qz{0.0, 0.0, 1.0}, qx{1.0, 0.0, 0.0};
    const Vec3 h = field_at(multipole_h_from_m_0, NodeExpansion{origin, qz, zero}, Vec3{0.0, 0.0, 2.0});
    EXPECT_EQ(h.x, 0.0);
    EXPECT_EQ(h.y, 0.0);
    EXPECT_EQ(h.z, 2.0 * kFourPiInv / 8.0);
    const Vec3 b = field_at(multipole_h_from_j_0, NodeExpansion{origin, qx, zero}, Vec3{0.0, 1.0, 0.0});
    EXPECT_EQ(b.x, 0.0);
    EXPECT_EQ(b.y, 0.0);
    EXPECT_EQ(b.z, kFourPiInv);
}

// Without a first moment, or with a symmetric one whose n x (T n) vanishes
// (T = identity), the first-order kernels reduce to zeroth order.
TEST(MultipoleValues, FirstOrderTermsVanishWithoutAntisymmetricOrDirectionalMoment) {
    const FirstMoment zero{}, identity{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    Lists l(8);
    for (std::size_t i = 0; i < 8; ++i) {
        const Vec3 target{l.x[i], l.y[i], l.z[i]};
        const Vec3 h0 = field_at(multipole_h_from_j_0, kExpansion, target);
        const Vec3 a0 = field_at(multipole_a_from_m_0, kExpansion, target);
        const double r = std::sqrt(std::pow(target.x - kCenter.x, 2) + std::pow(target.y - kCenter.y, 2) +
                                   std::pow(target.z - kCenter.z, 2));
        const Vec3 aj = field_at(multipole_a_from_j, NodeExpansion{kCenter, kMoment, zero}, target);
        EXPECT_DOUBLE_EQ(aj.x, 1e-7 * kMoment.x / r) << i;
        EXPECT_DOUBLE_EQ(aj.y, 1e-7 * kMoment.y / r) << i;
        EXPECT_DOUBLE_EQ(aj.z, 1e-7 * kMoment.z / r) << i;
        for (const FirstMoment* t : {&zero, &identity}) {
            const NodeExpansion e{kCenter, kMoment, *t};
            const Vec3 h1 = field_at(multipole_h_from_j_1, e, target);
            EXPECT_TRUE(same_bits(h1.x, h0.x) && same_bits(h1.y, h0.y) && same_bits(h1.z, h0.z)) << i;
            // The constants differ: mu0 x 1/(4 pi) in place of 1e-7.
            const Vec3 a1 = field_at(multipole_a_from_m_1, e, target);
            EXPECT_NEAR(a1.x, a0.x, 4e-15 * std::fabs(a0.x)) << i;
            EXPECT_NEAR(a1.y, a0.y, 4e-15 * std::fabs(a0.y)) << i;
            EXPECT_NEAR(a1.z, a0.z, 4e-15 * std::fabs(a0.z)) << i;
        }
    }
}

}  // namespace
}  // namespace corvane
