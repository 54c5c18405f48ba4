// Point-source kernels, vectorised over targets with run-time dispatch.
// Each kernel's work per target is three templates on the Highway descriptor
// (distance, divisions, sums), pipelined over the target vectors; the loop
// tail runs the same three on one lane, so a target's result never depends
// on its position in the chunk.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "sources/point/point_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "math/simd_loop-inl.h"
#include "sources/point/point.hpp"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {

// Offsets d = target - centroid and distance r of the lanes starting at i.
template <class D>
struct Offset {
    hn::Vec<D> dx, dy, dz, r;
};

template <class D>
HWY_INLINE Offset<D> offset_at(D d, const ChunkPair& chunk, const Vec3& c, std::size_t i) {
    Offset<D> o;
    o.dx = hn::Sub(hn::LoadU(d, chunk.x.data() + i), hn::Set(d, c.x));
    o.dy = hn::Sub(hn::LoadU(d, chunk.y.data() + i), hn::Set(d, c.y));
    o.dz = hn::Sub(hn::LoadU(d, chunk.z.data() + i), hn::Set(d, c.z));
    o.r = hn::Sqrt(hn::Add(hn::Add(hn::Mul(o.dx, o.dx), hn::Mul(o.dy, o.dy)), hn::Mul(o.dz, o.dz)));
    return o;
}

template <class D>
HWY_INLINE void add_at(D d, const ChunkPair& chunk, std::size_t i, hn::Vec<D> vx, hn::Vec<D> vy, hn::Vec<D> vz) {
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fx.data() + i), vx), d, chunk.fx.data() + i);
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fy.data() + i), vy), d, chunk.fy.data() + i);
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fz.data() + i), vz), d, chunk.fz.data() + i);
}

// A target vector between the stages of the pipelined loop: its offset and
// distance (stage 1, one square root), the kernel's divisions (stage 2);
// stage 3 adds the contribution.
template <class D>
struct InFlight {
    Offset<D> o;
    hn::Vec<D> q;
};

// The pipelined loop of the kernels with q = 1/r: offset and distance, the
// division, then `finish` with the contribution.
template <class Finish>
HWY_INLINE void for_each_reciprocal_distance(const PointSource& src, const ChunkPair& chunk, const Finish& finish) {
    for_each_block_pipelined<InFlight>(
        chunk.x.size(),
        [&](auto d, std::size_t i, auto& st) HWY_ATTR { st.o = offset_at(d, chunk, src.centroid, i); },
        [&](auto d, std::size_t, auto& st) HWY_ATTR { st.q = hn::Div(hn::Set(d, 1.0), st.o.r); }, finish);
}

// Inside the equivalent sphere (r <= t) the dipole becomes a uniformly
// magnetised sphere, whose vector potential there is mu0/3 (v x d): finite,
// zero at the centroid and equal to the dipole's at r = t.
void PointAFromM(const PointSource& src, const Vec3& v, const ChunkPair& chunk) {
    const Vec3 s = src.strength;
    const double t = src.equivalent_radius;
    const Vec3 k = v * 4.188790204786391e-7;  // mu0 / 3
    for_each_reciprocal_distance(src, chunk, [&](auto d, std::size_t i, auto& st) HWY_ATTR {
        const auto& o = st.o;
        const auto q = st.q;
        const auto w = hn::Mul(hn::Mul(q, q), hn::Set(d, 1e-7));
        const auto ux = hn::Mul(o.dx, q), uy = hn::Mul(o.dy, q), uz = hn::Mul(o.dz, q);
        const auto sx = hn::Set(d, s.x), sy = hn::Set(d, s.y), sz = hn::Set(d, s.z);
        auto ax = hn::Mul(w, hn::Sub(hn::Mul(sy, uz), hn::Mul(uy, sz)));
        auto ay = hn::Mul(w, hn::Sub(hn::Mul(ux, sz), hn::Mul(sx, uz)));
        auto az = hn::Mul(w, hn::Sub(hn::Mul(sx, uy), hn::Mul(sy, ux)));
        // Targets within t of the centroid are rare: the interior value only
        // when a lane needs it.
        const auto inside = hn::Le(o.r, hn::Set(d, t));
        if (!hn::AllFalse(d, inside)) {
            const auto kx = hn::Set(d, k.x), ky = hn::Set(d, k.y), kz = hn::Set(d, k.z);
            ax = hn::IfThenElse(inside, hn::Sub(hn::Mul(ky, o.dz), hn::Mul(o.dy, kz)), ax);
            ay = hn::IfThenElse(inside, hn::Sub(hn::Mul(o.dx, kz), hn::Mul(kx, o.dz)), ay);
            az = hn::IfThenElse(inside, hn::Sub(hn::Mul(kx, o.dy), hn::Mul(ky, o.dx)), az);
        }
        add_at(d, chunk, i, ax, ay, az);
    });
    leave_vector_code();
}

void PointHFromM(const PointSource& src, const ChunkPair& chunk) {
    const Vec3 s = src.strength;
    const double t = src.equivalent_radius;
    const double k = 3.0 / ((t * (t * t)) * 12.566370614359172);
    const Vec3 h_in{(s.x * k) * -0.3333333333333333, (s.y * k) * -0.3333333333333333,
                    (s.z * k) * -0.3333333333333333};
    for_each_reciprocal_distance(src, chunk, [&](auto d, std::size_t i, auto& st) HWY_ATTR {
        const auto& o = st.o;
        const auto q = st.q;
        const auto inside = hn::Le(o.r, hn::Set(d, t));
        const auto g = hn::Mul(hn::Mul(q, hn::Mul(q, q)), hn::Set(d, 0.07957747154594767));
        const auto ux = hn::Mul(o.dx, q), uy = hn::Mul(o.dy, q), uz = hn::Mul(o.dz, q);
        const auto sx = hn::Set(d, s.x), sy = hn::Set(d, s.y), sz = hn::Set(d, s.z);
        const auto p = hn::Mul(hn::Set(d, 3.0),
                               hn::Add(hn::Mul(sz, uz), hn::Add(hn::Mul(sx, ux), hn::Mul(sy, uy))));
        add_at(d, chunk, i,
               hn::IfThenElse(inside, hn::Set(d, h_in.x), hn::Mul(g, hn::Sub(hn::Mul(ux, p), sx))),
               hn::IfThenElse(inside, hn::Set(d, h_in.y), hn::Mul(g, hn::Sub(hn::Mul(uy, p), sy))),
               hn::IfThenElse(inside, hn::Set(d, h_in.z), hn::Mul(g, hn::Sub(hn::Mul(uz, p), sz))));
    });
    leave_vector_code();
}

void PointAFromJ(const PointSource& src, const ChunkPair& chunk) {
    const Vec3 a = src.strength * 1e-7;
    const double t = src.equivalent_radius;
    // Inside the equivalent sphere 1/r becomes the potential of a uniformly
    // filled sphere, (3t^2 - r^2) / (2t^3), which is 1/t at r = t.
    const double three_t2 = 3.0 * (t * t);
    const double two_t3 = 2.0 * (t * (t * t));
    for_each_block_pipelined<InFlight>(
        chunk.x.size(),
        [&](auto d, std::size_t i, auto& st) HWY_ATTR { st.o = offset_at(d, chunk, src.centroid, i); },
        [&](auto d, std::size_t, auto& st) HWY_ATTR {
            const auto r = st.o.r;
            const auto outside = hn::Gt(r, hn::Set(d, t));
            st.q = hn::Div(hn::Set(d, 1.0), r);
            // The interior factor only when a lane needs it: targets within
            // t of the centroid are rare.
            if (!hn::AllTrue(d, outside)) {
                const auto f_in = hn::Div(hn::Sub(hn::Set(d, three_t2), hn::Mul(r, r)), hn::Set(d, two_t3));
                st.q = hn::IfThenElse(outside, st.q, f_in);
            }
        },
        [&](auto d, std::size_t i, auto& st) HWY_ATTR {
            const auto f = st.q;
            add_at(d, chunk, i, hn::Mul(hn::Set(d, a.x), f), hn::Mul(hn::Set(d, a.y), f),
                   hn::Mul(hn::Set(d, a.z), f));
        });
    leave_vector_code();
}

void PointHFromJ(const PointSource& src, const ChunkPair& chunk) {
    const Vec3 s = src.strength;
    const double t = src.equivalent_radius;
    const double t3 = t * (t * t);
    const bool t3_nan = std::isnan(t3);
    for_each_block_pipelined<InFlight>(
        chunk.x.size(),
        [&](auto d, std::size_t i, auto& st) HWY_ATTR { st.o = offset_at(d, chunk, src.centroid, i); },
        [&](auto d, std::size_t, auto& st) HWY_ATTR {
            const auto r = st.o.r;
            const auto r3 = hn::Mul(r, hn::Mul(r, r));
            const auto vt3 = hn::Set(d, t3);
            // The larger of r^3 and t^3; a NaN on either side yields the other.
            const auto take_r3 = t3_nan ? hn::Not(hn::IsNaN(r3)) : hn::Gt(r3, vt3);
            st.q = hn::Div(hn::Set(d, 1.0), hn::IfThenElse(take_r3, r3, vt3));
        },
        [&](auto d, std::size_t i, auto& st) HWY_ATTR {
            const auto& o = st.o;
            const auto q = st.q;
            const auto sx = hn::Set(d, s.x), sy = hn::Set(d, s.y), sz = hn::Set(d, s.z);
            const auto c = hn::Set(d, 0.07957747154594767);
            add_at(d, chunk, i, hn::Mul(hn::Mul(hn::Sub(hn::Mul(sy, o.dz), hn::Mul(sz, o.dy)), q), c),
                   hn::Mul(hn::Mul(hn::Sub(hn::Mul(sz, o.dx), hn::Mul(sx, o.dz)), q), c),
                   hn::Mul(hn::Mul(hn::Sub(hn::Mul(sx, o.dy), hn::Mul(sy, o.dx)), q), c));
        });
    leave_vector_code();
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <cmath>

namespace corvane {

HWY_EXPORT(PointAFromM);
HWY_EXPORT(PointHFromM);
HWY_EXPORT(PointAFromJ);
HWY_EXPORT(PointHFromJ);

PointSource point_source(const ElementNodes& nodes, const Vec3& v) {
    const Vec3 e1 = nodes[1] - nodes[0], e2 = nodes[2] - nodes[0], e3 = nodes[3] - nodes[0];
    const Vec3 c{e3.y * e2.z - e3.z * e2.y, e3.z * e2.x - e3.x * e2.z, e3.x * e2.y - e3.y * e2.x};
    PointSource src;
    src.volume = std::fabs((e1.x * c.x + e1.y * c.y) + e1.z * c.z) * 0.16666666666666666;
    src.centroid = (((nodes[0] + nodes[1]) + nodes[2]) + nodes[3]) * 0.25;
    src.strength = Vec3{src.volume * v.x, src.volume * v.y, src.volume * v.z};
    src.equivalent_radius = std::cbrt(src.volume * 0.238732414637843);
    return src;
}

void point_a_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    check_chunk_lengths(chunk, OutputNames::VectorPotential);
    if (chunk.x.empty()) return;
    HWY_DYNAMIC_DISPATCH(PointAFromM)(point_source(nodes, vector), vector, chunk);
}

void point_h_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    check_chunk_lengths(chunk, OutputNames::HField);
    if (chunk.x.empty()) return;
    HWY_DYNAMIC_DISPATCH(PointHFromM)(point_source(nodes, vector), chunk);
}

void point_a_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    check_chunk_lengths(chunk, OutputNames::VectorPotential);
    if (chunk.x.empty()) return;
    HWY_DYNAMIC_DISPATCH(PointAFromJ)(point_source(nodes, vector), chunk);
}

void point_h_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    check_chunk_lengths(chunk, OutputNames::HField);
    if (chunk.x.empty()) return;
    HWY_DYNAMIC_DISPATCH(PointHFromJ)(point_source(nodes, vector), chunk);
}

void add_point_source_field(const PointSource& source, const Vec3& vector, bool magnetization, bool h_field,
                            const ChunkPair& chunk) {
    check_chunk_lengths(chunk, h_field ? OutputNames::HField : OutputNames::VectorPotential);
    if (chunk.x.empty()) return;
    if (magnetization) {
        if (h_field) HWY_DYNAMIC_DISPATCH(PointHFromM)(source, chunk);
        else HWY_DYNAMIC_DISPATCH(PointAFromM)(source, vector, chunk);
    } else {
        if (h_field) HWY_DYNAMIC_DISPATCH(PointHFromJ)(source, chunk);
        else HWY_DYNAMIC_DISPATCH(PointAFromJ)(source, chunk);
    }
}

}  // namespace corvane
#endif  // HWY_ONCE
