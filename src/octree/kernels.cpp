// Multipole far-field kernels, vectorised over targets with run-time dispatch.
// Each kernel body is one template on the Highway descriptor; the loop tail
// and the one-lane path run the same body on one lane, so a target's result
// never depends on its position in the chunk.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "octree/kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "math/simd_loop-inl.h"
#include "octree/kernels.hpp"
#include "octree/kernels_scalar.hpp"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {

template <class D>
struct Lanes3 {
    hn::Vec<D> x, y, z;
};

template <class D>
HWY_INLINE Lanes3<D> splat(D d, const Vec3& v) {
    return {hn::Set(d, v.x), hn::Set(d, v.y), hn::Set(d, v.z)};
}

template <class D>
HWY_INLINE Lanes3<D> cross(const Lanes3<D>& u, const Lanes3<D>& v) {
    return {hn::Sub(hn::Mul(u.y, v.z), hn::Mul(u.z, v.y)), hn::Sub(hn::Mul(u.z, v.x), hn::Mul(u.x, v.z)),
            hn::Sub(hn::Mul(u.x, v.y), hn::Mul(u.y, v.x))};
}

template <class D>
HWY_INLINE Lanes3<D> scaled(hn::Vec<D> k, const Lanes3<D>& v) {
    return {hn::Mul(k, v.x), hn::Mul(k, v.y), hn::Mul(k, v.z)};
}

// Reciprocal distance s and unit direction n from the centre to the targets
// of the lanes starting at i.
template <class D>
struct Direction {
    hn::Vec<D> s;
    Lanes3<D> n;
};

template <class D>
HWY_INLINE Direction<D> direction_at(D d, const ChunkPair& chunk, const Vec3& center, std::size_t i) {
    const auto dx = hn::Sub(hn::LoadU(d, chunk.x.data() + i), hn::Set(d, center.x));
    const auto dy = hn::Sub(hn::LoadU(d, chunk.y.data() + i), hn::Set(d, center.y));
    const auto dz = hn::Sub(hn::LoadU(d, chunk.z.data() + i), hn::Set(d, center.z));
    const auto r = hn::Sqrt(hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz)));
    const auto s = hn::Div(hn::Set(d, 1.0), r);
    return {s, {hn::Mul(dx, s), hn::Mul(dy, s), hn::Mul(dz, s)}};
}

// s^2 c and s^3 c.
template <class D>
HWY_INLINE hn::Vec<D> k2_of(D d, hn::Vec<D> s, double c) {
    return hn::Mul(hn::Mul(s, s), hn::Set(d, c));
}

template <class D>
HWY_INLINE hn::Vec<D> k3_of(D d, hn::Vec<D> s, double c) {
    return hn::Mul(hn::Mul(s, hn::Mul(s, s)), hn::Set(d, c));
}

// V = T n, each row summed as T_az n_z + (T_ax n_x + T_ay n_y).
template <class D>
HWY_INLINE Lanes3<D> first_moment_times(D d, const FirstMoment& t, const Lanes3<D>& n) {
    const auto row = [&](std::size_t a) HWY_ATTR {
        return hn::Add(hn::Mul(hn::Set(d, t[3 * a + 2]), n.z),
                       hn::Add(hn::Mul(hn::Set(d, t[3 * a]), n.x), hn::Mul(hn::Set(d, t[3 * a + 1]), n.y)));
    };
    return {row(0), row(1), row(2)};
}

// The expansion copied into a local before the target loop (no output store
// can alias it, so it stays in registers), with a = twice the axial vector of
// the antisymmetric part of T, the sum of d x q. Zeroth-order kernels never
// read T and leave T and a zero.
struct Expansion {
    Vec3 center, moment;
    FirstMoment t{};
    Vec3 a{};
};

HWY_INLINE Expansion copy_of(const NodeExpansion& e, bool first_order) {
    Expansion x{e.center, e.moment};
    if (first_order) {
        x.t = e.first_moment;
        const FirstMoment& t = x.t;
        const Vec3 m{0.5 * (t[7] - t[5]), 0.5 * (t[2] - t[6]), 0.5 * (t[3] - t[1])};
        x.a = m + m;
    }
    return x;
}

// The Biot-Savart expansion to first order: k2 (Q x n) + k3 (a - 3 (n x V)).
template <class D>
HWY_INLINE Lanes3<D> cross_first_order(D d, const Expansion& e, const Direction<D>& dir, double c) {
    const auto k2 = k2_of(d, dir.s, c), k3 = k3_of(d, dir.s, c);
    const Lanes3<D> qn = cross(splat(d, e.moment), dir.n);
    const Lanes3<D> nv = cross(dir.n, first_moment_times(d, e.t, dir.n));
    const auto three = hn::Set(d, 3.0);
    const auto term = [&](hn::Vec<D> qn_a, double a_a, hn::Vec<D> nv_a) HWY_ATTR {
        return hn::Add(hn::Mul(k2, qn_a), hn::Mul(k3, hn::Sub(hn::Set(d, a_a), hn::Mul(three, nv_a))));
    };
    return {term(qn.x, e.a.x, nv.x), term(qn.y, e.a.y, nv.y), term(qn.z, e.a.z, nv.z)};
}

template <class D>
HWY_INLINE void add_at(D d, const ChunkPair& chunk, std::size_t i, const Lanes3<D>& v) {
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fx.data() + i), v.x), d, chunk.fx.data() + i);
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fy.data() + i), v.y), d, chunk.fy.data() + i);
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fz.data() + i), v.z), d, chunk.fz.data() + i);
}

// Runs the body over all targets, vector-wide or one lane at a time.
template <class Body>
HWY_INLINE void sweep(std::size_t n, bool one_lane, Body&& body) {
    if (one_lane) {
        for_each_single(n, body);
    } else {
        for_each_block(n, body);
    }
}

void MultipoleAFromJ(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    const Expansion e = copy_of(expansion, true);
    sweep(chunk.x.size(), one_lane, [&](auto d, std::size_t i) HWY_ATTR {
        const auto dir = direction_at(d, chunk, e.center, i);
        const auto s2 = hn::Mul(dir.s, dir.s);
        const auto c = hn::Set(d, 1e-7);
        const Lanes3<decltype(d)> v = first_moment_times(d, e.t, dir.n);
        const auto term = [&](double q_a, hn::Vec<decltype(d)> v_a) HWY_ATTR {
            return hn::Mul(hn::Add(hn::Mul(hn::Set(d, q_a), dir.s), hn::Mul(s2, v_a)), c);
        };
        add_at(d, chunk, i, {term(e.moment.x, v.x), term(e.moment.y, v.y), term(e.moment.z, v.z)});
    });
}

// k2 (Q x n), shared by the zeroth-order kernels of current density H and
// magnetisation A.
void CrossZerothOrder(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane, double c) {
    const Expansion e = copy_of(expansion, false);
    sweep(chunk.x.size(), one_lane, [&](auto d, std::size_t i) HWY_ATTR {
        const auto dir = direction_at(d, chunk, e.center, i);
        add_at(d, chunk, i, scaled(k2_of(d, dir.s, c), cross(splat(d, e.moment), dir.n)));
    });
}

void MultipoleHFromJ0(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    CrossZerothOrder(expansion, chunk, one_lane, 0.07957747154594767);
}

void MultipoleAFromM0(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    CrossZerothOrder(expansion, chunk, one_lane, 1e-7);
}

void MultipoleHFromJ1(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    const Expansion e = copy_of(expansion, true);
    sweep(chunk.x.size(), one_lane, [&](auto d, std::size_t i) HWY_ATTR {
        const auto dir = direction_at(d, chunk, e.center, i);
        add_at(d, chunk, i, cross_first_order(d, e, dir, 0.07957747154594767));
    });
}

void MultipoleAFromM1(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    const Expansion e = copy_of(expansion, true);
    sweep(chunk.x.size(), one_lane, [&](auto d, std::size_t i) HWY_ATTR {
        const auto dir = direction_at(d, chunk, e.center, i);
        const auto sum = cross_first_order(d, e, dir, 0.07957747154594767);
        const auto mu0 = hn::Set(d, 1.2566370614359173e-6);
        add_at(d, chunk, i, {hn::Mul(sum.x, mu0), hn::Mul(sum.y, mu0), hn::Mul(sum.z, mu0)});
    });
}

void MultipoleHFromM0(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    const Expansion e = copy_of(expansion, false);
    sweep(chunk.x.size(), one_lane, [&](auto d, std::size_t i) HWY_ATTR {
        const auto dir = direction_at(d, chunk, e.center, i);
        const auto k3 = k3_of(d, dir.s, 0.07957747154594767);
        const auto qx = hn::Set(d, e.moment.x), qy = hn::Set(d, e.moment.y), qz = hn::Set(d, e.moment.z);
        const auto p = hn::Mul(hn::Set(d, 3.0), hn::Add(hn::Mul(qz, dir.n.z),
                                                        hn::Add(hn::Mul(qx, dir.n.x), hn::Mul(qy, dir.n.y))));
        add_at(d, chunk, i,
               {hn::Mul(k3, hn::Sub(hn::Mul(p, dir.n.x), qx)), hn::Mul(k3, hn::Sub(hn::Mul(p, dir.n.y), qy)),
                hn::Mul(k3, hn::Sub(hn::Mul(p, dir.n.z), qz))});
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "sources/kernel.hpp"

namespace corvane {

HWY_EXPORT(MultipoleAFromJ);
HWY_EXPORT(MultipoleHFromJ0);
HWY_EXPORT(MultipoleHFromJ1);
HWY_EXPORT(MultipoleAFromM0);
HWY_EXPORT(MultipoleAFromM1);
HWY_EXPORT(MultipoleHFromM0);

namespace {

using Sweep = void (*)(const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane);

// Checks the lists, then runs the chosen target's body once over the chunk.
void run(Sweep sweep, OutputNames names, const NodeExpansion& expansion, const ChunkPair& chunk, bool one_lane) {
    check_chunk_lengths(chunk, names);
    if (chunk.x.empty()) return;
    sweep(expansion, chunk, one_lane);
}

constexpr OutputNames kA = OutputNames::VectorPotential;
constexpr OutputNames kH = OutputNames::HField;

}  // namespace

// All but multipole_a_from_j name their outputs `hx`..`hz` in the length messages.
void multipole_a_from_j(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleAFromJ), kA, e, c, false);
}
void multipole_h_from_j_0(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleHFromJ0), kH, e, c, false);
}
void multipole_h_from_j_1(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleHFromJ1), kH, e, c, false);
}
void multipole_a_from_m_0(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleAFromM0), kH, e, c, false);
}
void multipole_a_from_m_1(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleAFromM1), kH, e, c, false);
}
void multipole_h_from_m_0(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleHFromM0), kH, e, c, false);
}

void multipole_a_from_j_scalar(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleAFromJ), kA, e, c, true);
}
void multipole_h_from_j_0_scalar(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleHFromJ0), kH, e, c, true);
}
void multipole_h_from_j_1_scalar(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleHFromJ1), kH, e, c, true);
}
void multipole_a_from_m_0_scalar(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleAFromM0), kH, e, c, true);
}
void multipole_a_from_m_1_scalar(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleAFromM1), kH, e, c, true);
}
void multipole_h_from_m_0_scalar(const NodeExpansion& e, const ChunkPair& c) {
    run(HWY_DYNAMIC_DISPATCH(MultipoleHFromM0), kH, e, c, true);
}

}  // namespace corvane
#endif  // HWY_ONCE
