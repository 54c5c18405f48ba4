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
#include <utility>
#include <vector>

#include "lib/failure.hpp"
#include "math/fast_math.hpp"
#include "sources/tet4/tet4.hpp"
#include "sources/tet4/tet4_faces.hpp"
#include "sources/tet4/tet4_scalar.hpp"

namespace corvane {
namespace {

struct KernelPair {
    const char* name;
    ElementKernel dispatched, scalar;
};
void PrintTo(const KernelPair& k, std::ostream* os) { *os << k.name; }

// The face formulas written out for one target with plain doubles, in the
// kernels' order of operations: the vectorised kernels must give these bits.
enum class Kind { AFromM, HFromM, AFromJ, HFromJ };

double dot3(const Vec3& u, const Vec3& v) { return (u.x * v.x + u.y * v.y) + u.z * v.z; }
Vec3 cross3(const Vec3& u, const Vec3& v) {
    return {u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
}

// A negatively oriented element is integrated with nodes 1 and 2 exchanged.
ElementNodes oriented(const ElementNodes& p) {
    if (!(dot3(p[1] - p[0], cross3(p[2] - p[0], p[3] - p[0])) < 0.0)) return p;
    return {p[0], p[2], p[1], p[3]};
}

Vec3 reference_sum(Kind kind, const ElementNodes& p, const Vec3& v, const Vec3& r, Vec3 out) {
    for (const auto& [ia, ib, ic] : TET_FACES) {
        const Vec3 a = p[ia], b = p[ib], c = p[ic];
        const FaceFrame fr = face_frame(a, b, c);
        const double l1 = std::sqrt(dot3(b - a, b - a)), l2 = std::sqrt(dot3(c - b, c - b));
        const double l3 = std::sqrt(dot3(a - c, a - c));
        const Vec3 rho1 = a - r, rho2 = b - r, rho3 = c - r;
        const double r1 = std::sqrt(dot3(rho1, rho1)), r2 = std::sqrt(dot3(rho2, rho2));
        const double r3 = std::sqrt(dot3(rho3, rho3));
        const double num = dot3(rho1, cross3(rho2, rho3));
        const double den = ((r1 * r2 * r3 + r1 * dot3(rho2, rho3)) + r2 * dot3(rho1, rho3)) + r3 * dot3(rho1, rho2);
        const double omega = 2.0 * fast_atan2(num, den);
        const double lam1 = fast_ln(((l1 + r1) + r2) / ((r1 + r2) - l1));
        const double lam2 = fast_ln(((l2 + r2) + r3) / ((r2 + r3) - l2));
        const double lam3 = fast_ln(((l3 + r3) + r1) / ((r3 + r1) - l3));
        const Vec3 ra = r - a, rb = r - b, rc = r - c;
        const double integral = ((dot3(ra, fr.n) * omega + dot3(ra, fr.m1) * lam1) + dot3(rb, fr.m2) * lam2) +
                                dot3(rc, fr.m3) * lam3;
        Vec3 add;
        switch (kind) {
            case Kind::AFromM:
                add = cross3(v, fr.n) * 1e-7 * integral;
                break;
            case Kind::HFromJ:
                add = cross3(v, fr.n) * 0.07957747154594767 * integral;
                break;
            case Kind::AFromJ: {
                const double h = dot3(rho1, fr.n);
                const Vec3 k = v * 5e-8;
                add = {h * k.x * integral, h * k.y * integral, h * k.z * integral};
                break;
            }
            case Kind::HFromM: {
                const Vec3 w = (fr.t1 * lam1 + fr.t2 * lam2) + fr.t3 * lam3;
                const Vec3 g{fr.n.x * omega + (fr.n.y * w.z - fr.n.z * w.y),
                             fr.n.y * omega + (fr.n.z * w.x - fr.n.x * w.z),
                             fr.n.z * omega + (fr.n.x * w.y - fr.n.y * w.x)};
                add = g * (dot3(v, fr.n) * -0.07957747154594767);
                break;
            }
        }
        out = out + add;
    }
    return out;
}

const KernelPair kKernels[] = {{"tet4_a_from_m", tet4_a_from_m, tet4_a_from_m_scalar},
                               {"tet4_h_from_m", tet4_h_from_m, tet4_h_from_m_scalar},
                               {"tet4_a_from_j", tet4_a_from_j, tet4_a_from_j_scalar},
                               {"tet4_h_from_j", tet4_h_from_j, tet4_h_from_j_scalar},
                               {"tet4_a_from_m_accurate", tet4_a_from_m_accurate, tet4_a_from_m_accurate_scalar},
                               {"tet4_h_from_m_accurate", tet4_h_from_m_accurate, tet4_h_from_m_accurate_scalar},
                               {"tet4_a_from_j_accurate", tet4_a_from_j_accurate, tet4_a_from_j_accurate_scalar},
                               {"tet4_h_from_j_accurate", tet4_h_from_j_accurate, tet4_h_from_j_accurate_scalar}};

const ElementNodes kNodes{Vec3{0.1, -0.2, 0.05}, Vec3{1.3, 0.1, -0.1}, Vec3{0.2, 0.9, 0.3}, Vec3{0.3, 0.2, 1.1}};
const Vec3 kVector{0.7, -1.3, 2.1};
const std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

using testing::for_each_target;
using testing::KernelLists;
using testing::same_bits;

// Targets (the awkward ones first: a vertex, an edge midpoint, a point inside
// a face, the centroid; then random ones) and outputs that already hold values.
struct Lists : KernelLists {
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
};

class Tet4Kernel : public ::testing::TestWithParam<KernelPair> {};

TEST_P(Tet4Kernel, DispatchedMatchesScalarForEveryLengthAndOffset) {
    const KernelPair k = GetParam();
    // Up to six vectors and a tail: the pipelined sweep fills, runs and drains.
    const std::size_t max_n = 6 * kMaxLanes + 1, max_offset = 3, total = max_n + max_offset;
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

TEST(Tet4Kernel, MatchesThePlainFormulasBitForBit) {
    const std::pair<Kind, KernelPair> kernels[] = {{Kind::AFromM, kKernels[0]}, {Kind::HFromM, kKernels[1]},
                                                   {Kind::AFromJ, kKernels[2]}, {Kind::HFromJ, kKernels[3]}};
    const ElementNodes flipped{kNodes[1], kNodes[0], kNodes[2], kNodes[3]};
    const ElementNodes sliver{Vec3{0.0, 0.0, 0.0}, Vec3{1.0, 0.0, 0.0}, Vec3{0.0, 1.0, 0.0}, Vec3{0.3, 0.3, 1e-9}};
    const std::size_t n = 6 * kMaxLanes + 5;
    for_each_target([&] {
        for (const auto& [kind, k] : kernels) {
            SCOPED_TRACE(k.name);
            for (const ElementNodes& nodes : {kNodes, flipped, sliver}) {
                Lists wide(n), single(n);
                k.dispatched(nodes, kVector, wide.chunk(0, n));
                k.scalar(nodes, kVector, single.chunk(0, n));
                const Lists start(n);
                for (std::size_t i = 0; i < n; ++i) {
                    const Vec3 r{start.x[i], start.y[i], start.z[i]};
                    const Vec3 want =
                        reference_sum(kind, oriented(nodes), kVector, r, {start.fx[i], start.fy[i], start.fz[i]});
                    EXPECT_TRUE(same_bits(wide.fx[i], want.x) && same_bits(wide.fy[i], want.y) &&
                                same_bits(wide.fz[i], want.z) && wide.same(single, i))
                        << i;
                }
            }
        }
    });
}

// An element outside the unscaled size range is evaluated in coordinates
// scaled by a power of two: its field, with every target scaled alike, is the
// plain formulas' field of the element at size about one, times the matching
// power of two (length^0 for H of M, ^1 for A of M and H of J, ^2 for A of J),
// bit for bit, on every target and in both sweeps.
TEST(Tet4Kernel, SmallAndLargeElementsAreTheScaledPlainFormulas) {
    const std::pair<Kind, KernelPair> kernels[] = {{Kind::AFromM, kKernels[0]}, {Kind::HFromM, kKernels[1]},
                                                   {Kind::AFromJ, kKernels[2]}, {Kind::HFromJ, kKernels[3]}};
    const int powers[] = {1, 0, 2, 1};
    // kNodes' size (1.2) lies in [1, 2): the scaled element is kNodes / 2.
    EXPECT_EQ(tet4_scale(kNodes), 1.0);
    const std::size_t n = 6 * kMaxLanes + 5;
    for_each_target([&] {
        for (const int j : {-100, -40, -7, 21, 60}) {
            const double s = std::ldexp(1.0, j);
            ElementNodes nodes = kNodes, half = kNodes;
            for (std::size_t k = 0; k < 4; ++k) nodes[k] = kNodes[k] * s, half[k] = kNodes[k] * 0.5;
            EXPECT_EQ(tet4_scale(nodes), std::ldexp(1.0, -j - 1)) << j;
            for (std::size_t q = 0; q < 4; ++q) {
                const auto& [kind, k] = kernels[q];
                SCOPED_TRACE(k.name);
                const Lists start(n);
                Lists wide(n), single(n);
                for (Lists* l : {&wide, &single}) {
                    for (std::size_t i = 0; i < n; ++i) {
                        l->x[i] *= s, l->y[i] *= s, l->z[i] *= s;
                        l->fx[i] = l->fy[i] = l->fz[i] = 0.0;
                    }
                }
                k.dispatched(nodes, kVector, wide.chunk(0, n));
                k.scalar(nodes, kVector, single.chunk(0, n));
                const double back = std::ldexp(1.0, (j + 1) * powers[q]);
                for (std::size_t i = 0; i < n; ++i) {
                    const Vec3 r = Vec3{start.x[i], start.y[i], start.z[i]} * 0.5;
                    const Vec3 want = reference_sum(kind, half, kVector, r, {0.0, 0.0, 0.0}) * back;
                    EXPECT_TRUE(same_bits(wide.fx[i], want.x) && same_bits(wide.fy[i], want.y) &&
                                same_bits(wide.fz[i], want.z) && wide.same(single, i))
                        << j << " " << i;
                }
            }
        }
    });
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
