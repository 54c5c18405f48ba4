// Exact tetrahedron kernels, vectorised over targets with run-time dispatch.
// Each face reduces to a closed-form integral of 1/R over a triangle: a
// solid-angle term plus three edge logarithms. The body of each kernel is one
// template on the Highway descriptor; the tail runs it on one lane.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "sources/tet4/tet4_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "math/fast_math-inl.h"
#include "math/simd_loop-inl.h"
#include "sources/tet4/tet4.hpp"
#include "sources/tet4/tet4_faces.hpp"
#include "sources/tet4/tet4_scalar.hpp"

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
HWY_INLINE hn::Vec<D> dot(const Lanes3<D>& u, const Lanes3<D>& v) {
    return hn::Add(hn::Add(hn::Mul(u.x, v.x), hn::Mul(u.y, v.y)), hn::Mul(u.z, v.z));
}

template <class D>
HWY_INLINE Lanes3<D> minus(const Lanes3<D>& u, const Lanes3<D>& v) {
    return {hn::Sub(u.x, v.x), hn::Sub(u.y, v.y), hn::Sub(u.z, v.z)};
}

// Targets of the lanes starting at i.
template <class D>
HWY_INLINE Lanes3<D> targets_at(D d, const ChunkPair& chunk, std::size_t i) {
    return {hn::LoadU(d, chunk.x.data() + i), hn::LoadU(d, chunk.y.data() + i), hn::LoadU(d, chunk.z.data() + i)};
}

template <class D>
HWY_INLINE void add_at(D d, const ChunkPair& chunk, std::size_t i, hn::Vec<D> vx, hn::Vec<D> vy, hn::Vec<D> vz) {
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fx.data() + i), vx), d, chunk.fx.data() + i);
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fy.data() + i), vy), d, chunk.fy.data() + i);
    hn::StoreU(hn::Add(hn::LoadU(d, chunk.fz.data() + i), vz), d, chunk.fz.data() + i);
}

// Vertex vectors rho_k = p_k - r and distances R_k = |rho_k| of the four
// nodes. Every face reads those of its three vertices, so each distance is
// formed once per target instead of once per face (the same operations).
template <class D>
struct VertexTerms {
    Lanes3<D> rho[4];
    hn::Vec<D> dist[4];
};

template <class D>
HWY_INLINE VertexTerms<D> vertex_terms(D d, const ElementNodes& nodes, const Lanes3<D>& r) {
    VertexTerms<D> v;
    for (std::size_t k = 0; k < 4; ++k) {
        v.rho[k] = minus(splat(d, nodes[k]), r);
        v.dist[k] = hn::Sqrt(dot(v.rho[k], v.rho[k]));
    }
    return v;
}

// What a face contributes to the field of the targets r: the vertex vectors
// rho1 = a - r, the solid angle and the three edge logarithms.
template <class D>
struct FaceTerms {
    Lanes3<D> rho1;
    hn::Vec<D> omega, lam1, lam2, lam3;
};

template <class D>
HWY_INLINE FaceTerms<D> face_terms(D d, const Tet4Face& f, std::size_t face, const VertexTerms<D>& v) {
    const auto& [ia, ib, ic] = TET_FACES[face];
    const Lanes3<D>& rho1 = v.rho[ia];
    const Lanes3<D>& rho2 = v.rho[ib];
    const Lanes3<D>& rho3 = v.rho[ic];
    const auto r1 = v.dist[ia], r2 = v.dist[ib], r3 = v.dist[ic];

    // Solid angle: Van Oosterom-Strackee.
    const Lanes3<D> c23{hn::Sub(hn::Mul(rho2.y, rho3.z), hn::Mul(rho2.z, rho3.y)),
                        hn::Sub(hn::Mul(rho2.z, rho3.x), hn::Mul(rho2.x, rho3.z)),
                        hn::Sub(hn::Mul(rho2.x, rho3.y), hn::Mul(rho2.y, rho3.x))};
    const auto num = dot(rho1, c23);
    const auto den = hn::Add(hn::Add(hn::Add(hn::Mul(hn::Mul(r1, r2), r3), hn::Mul(r1, dot(rho2, rho3))),
                                     hn::Mul(r2, dot(rho1, rho3))),
                             hn::Mul(r3, dot(rho1, rho2)));
    FaceTerms<D> t;
    t.rho1 = rho1;
    t.omega = hn::Mul(hn::Set(d, 2.0), FastAtan2(d, num, den));

    const auto l1 = hn::Set(d, f.l1), l2 = hn::Set(d, f.l2), l3 = hn::Set(d, f.l3);
    t.lam1 = FastLn(d, hn::Div(hn::Add(hn::Add(l1, r1), r2), hn::Sub(hn::Add(r1, r2), l1)));
    t.lam2 = FastLn(d, hn::Div(hn::Add(hn::Add(l2, r2), r3), hn::Sub(hn::Add(r2, r3), l2)));
    t.lam3 = FastLn(d, hn::Div(hn::Add(hn::Add(l3, r3), r1), hn::Sub(hn::Add(r3, r1), l3)));
    return t;
}

// Integral of 1/|r - r'| over the face.
template <class D>
HWY_INLINE hn::Vec<D> face_integral(D d, const Tet4Face& f, const Lanes3<D>& r, const FaceTerms<D>& t) {
    const Lanes3<D> ra = minus(r, splat(d, f.frame.a));
    const Lanes3<D> rb = minus(r, splat(d, f.frame.b));
    const Lanes3<D> rc = minus(r, splat(d, f.frame.c));
    const auto h = dot(ra, splat(d, f.frame.n));
    return hn::Add(hn::Add(hn::Add(hn::Mul(h, t.omega), hn::Mul(dot(ra, splat(d, f.frame.m1)), t.lam1)),
                           hn::Mul(dot(rb, splat(d, f.frame.m2)), t.lam2)),
                   hn::Mul(dot(rc, splat(d, f.frame.m3)), t.lam3));
}

// Adds the contributions of faces [first, last), in table order, at the
// targets starting at i; `contribution` gives one face's (x, y, z) terms.
template <class D, class Contribution>
HWY_INLINE void add_faces(D d, const Tet4Element& e, const ChunkPair& chunk, std::size_t i, std::size_t first,
                          std::size_t last, const Contribution& contribution) {
    const Lanes3<D> r = targets_at(d, chunk, i);
    const VertexTerms<D> v = vertex_terms(d, e.nodes, r);
    Lanes3<D> out{hn::LoadU(d, chunk.fx.data() + i), hn::LoadU(d, chunk.fy.data() + i),
                  hn::LoadU(d, chunk.fz.data() + i)};
    for (std::size_t f = first; f < last; ++f) {
        const Lanes3<D> c = contribution(d, e.faces[f], r, face_terms(d, e.faces[f], f, v));
        out = Lanes3<D>{hn::Add(out.x, c.x), hn::Add(out.y, c.y), hn::Add(out.z, c.z)};
    }
    hn::StoreU(out.x, d, chunk.fx.data() + i);
    hn::StoreU(out.y, d, chunk.fy.data() + i);
    hn::StoreU(out.z, d, chunk.fz.data() + i);
}

// Runs the kernel over all targets. Each output receives its four face terms
// in table order, so the vector, one-lane and face-by-face sweeps give the
// same sums; the face-by-face sweep (one face over all targets, then the
// next) is the only safe one when an output list overlaps another list.
template <class Contribution>
HWY_INLINE void sweep(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode, const Contribution& contribution) {
    const std::size_t n = chunk.x.size();
    switch (mode) {
        case Tet4Sweep::Vector:
            for_each_block_fused(n, [&](auto d, std::size_t i) HWY_ATTR { add_faces(d, e, chunk, i, 0, 4, contribution); });
            break;
        case Tet4Sweep::OneLane:
            for_each_single(n, [&](auto d, std::size_t i) HWY_ATTR { add_faces(d, e, chunk, i, 0, 4, contribution); });
            break;
        case Tet4Sweep::FaceByFace:
            for (std::size_t f = 0; f < 4; ++f) {
                for_each_single(n, [&](auto d, std::size_t i) HWY_ATTR {
                    add_faces(d, e, chunk, i, f, f + 1, contribution);
                });
            }
            break;
    }
}

// out += k * I: A of a magnetisation (k = 1e-7 V x n) and H of a current
// density (k = V x n / 4pi).
void Tet4CrossTimesIntegral(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    sweep(e, chunk, mode, [](auto d, const Tet4Face& f, const auto& r, const auto& t) HWY_ATTR {
        const auto integral = face_integral(d, f, r, t);
        return Lanes3<decltype(d)>{hn::Mul(hn::Set(d, f.k.x), integral), hn::Mul(hn::Set(d, f.k.y), integral),
                                   hn::Mul(hn::Set(d, f.k.z), integral)};
    });
}

// out += s * G, with s = -(V . n) / 4pi in k.x: H of a magnetisation.
void Tet4HFromM(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    sweep(e, chunk, mode, [](auto d, const Tet4Face& f, const auto&, const auto& t) HWY_ATTR {
        using D = decltype(d);
        const auto t1 = splat(d, f.frame.t1), t2 = splat(d, f.frame.t2), t3 = splat(d, f.frame.t3);
        const auto n = splat(d, f.frame.n);
        const Lanes3<D> w{
            hn::Add(hn::Add(hn::Mul(t.lam1, t1.x), hn::Mul(t.lam2, t2.x)), hn::Mul(t.lam3, t3.x)),
            hn::Add(hn::Add(hn::Mul(t.lam1, t1.y), hn::Mul(t.lam2, t2.y)), hn::Mul(t.lam3, t3.y)),
            hn::Add(hn::Add(hn::Mul(t.lam1, t1.z), hn::Mul(t.lam2, t2.z)), hn::Mul(t.lam3, t3.z))};
        const auto gx = hn::Add(hn::Mul(n.x, t.omega), hn::Sub(hn::Mul(n.y, w.z), hn::Mul(n.z, w.y)));
        const auto gy = hn::Add(hn::Mul(n.y, t.omega), hn::Sub(hn::Mul(n.z, w.x), hn::Mul(n.x, w.z)));
        const auto gz = hn::Add(hn::Mul(n.z, t.omega), hn::Sub(hn::Mul(n.x, w.y), hn::Mul(n.y, w.x)));
        const auto s = hn::Set(d, f.k.x);
        return Lanes3<D>{hn::Mul(s, gx), hn::Mul(s, gy), hn::Mul(s, gz)};
    });
}

// out += (h k) * I with h = (a - r) . n and k = 5e-8 J: A of a current density.
void Tet4AFromJ(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    sweep(e, chunk, mode, [](auto d, const Tet4Face& f, const auto& r, const auto& t) HWY_ATTR {
        const auto integral = face_integral(d, f, r, t);
        const auto h = dot(t.rho1, splat(d, f.frame.n));
        return Lanes3<decltype(d)>{hn::Mul(hn::Mul(h, hn::Set(d, f.k.x)), integral),
                                   hn::Mul(hn::Mul(h, hn::Set(d, f.k.y)), integral),
                                   hn::Mul(hn::Mul(h, hn::Set(d, f.k.z)), integral)};
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "lib/failure.hpp"

namespace corvane {

HWY_EXPORT(Tet4CrossTimesIntegral);
HWY_EXPORT(Tet4HFromM);
HWY_EXPORT(Tet4AFromJ);

namespace {

Vec3 cross(const Vec3& u, const Vec3& v) {
    return {u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
}

double dot(const Vec3& u, const Vec3& v) { return (u.x * v.x + u.y * v.y) + u.z * v.z; }

double norm(const Vec3& v) { return std::sqrt(dot(v, v)); }

Vec3 divided(const Vec3& v, double s) { return {v.x / s, v.y / s, v.z / s}; }

Vec3 unit(const Vec3& v) { return divided(v, norm(v)); }

enum class Kind { AFromM, HFromM, AFromJ, HFromJ };

// The four faces of an element with the kernel's per-face constant.
Tet4Element element_faces(const ElementNodes& nodes, const Vec3& v, Kind kind) {
    const Vec3 c = v * 5e-8;
    Tet4Element element;
    element.nodes = nodes;
    Tet4Faces& faces = element.faces;
    for (std::size_t f = 0; f < TET_FACES.size(); ++f) {
        const Vec3& a = nodes[TET_FACES[f][0]];
        const Vec3& b = nodes[TET_FACES[f][1]];
        const Vec3& cc = nodes[TET_FACES[f][2]];
        Tet4Face& face = faces[f];
        face.frame = face_frame(a, b, cc);
        face.l1 = norm(b - a);
        face.l2 = norm(cc - b);
        face.l3 = norm(a - cc);
        const Vec3& n = face.frame.n;
        switch (kind) {
            case Kind::AFromM:
                face.k = cross(v, n) * 1e-7;
                break;
            case Kind::HFromJ:
                face.k = cross(v, n) * 0.07957747154594767;
                break;
            case Kind::HFromM: {
                const double s = dot(v, n) * -0.07957747154594767;
                face.k = {s, s, s};
                break;
            }
            case Kind::AFromJ:
                face.k = c;
                break;
        }
    }
    return element;
}

bool overlaps(std::span<const double> u, std::span<const double> v) {
    if (u.empty() || v.empty()) return false;
    const auto u0 = reinterpret_cast<std::uintptr_t>(u.data());
    const auto v0 = reinterpret_cast<std::uintptr_t>(v.data());
    return u0 < v0 + v.size_bytes() && v0 < u0 + u.size_bytes();
}

// True when an output list shares memory with another list of the chunk;
// the vector form would then read values the scalar form has already changed.
bool outputs_overlap(const ChunkPair& chunk) {
    const std::span<const double> outputs[] = {chunk.fx, chunk.fy, chunk.fz};
    const std::span<const double> lists[] = {chunk.x, chunk.y, chunk.z, chunk.fx, chunk.fy, chunk.fz};
    for (std::size_t o = 0; o < 3; ++o) {
        for (std::size_t l = 0; l < 6; ++l) {
            if (l != o + 3 && overlaps(outputs[o], lists[l])) return true;
        }
    }
    return false;
}

// tet4_h_from_m reads every list at indices below len(x): a shorter list
// fails at its first missing index, before anything is written.
void check_h_from_m_lengths(const ChunkPair& chunk) {
    const std::size_t n = chunk.x.size();
    const std::size_t shortest =
        std::min({n, chunk.y.size(), chunk.z.size(), chunk.fx.size(), chunk.fy.size(), chunk.fz.size()});
    if (shortest < n) fail_index(shortest, shortest);
}

void check_lengths(const ChunkPair& chunk, Kind kind) {
    switch (kind) {
        case Kind::AFromM:
            check_chunk_lengths(chunk, OutputNames::VectorPotential);
            break;
        case Kind::HFromJ:
            check_chunk_lengths(chunk, OutputNames::HField);
            break;
        case Kind::AFromJ: {
            const std::size_t n = chunk.x.size();
            assert_equal(chunk.y.size(), n);
            assert_equal(chunk.z.size(), n);
            assert_equal(chunk.fx.size(), n);
            assert_equal(chunk.fy.size(), n);
            assert_equal(chunk.fz.size(), n);
            break;
        }
        case Kind::HFromM:
            check_h_from_m_lengths(chunk);
            break;
    }
}

void run(Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk, bool one_lane) {
    check_lengths(chunk, kind);
    if (chunk.x.empty()) return;
    // tet4_h_from_m may be given longer lists; it only visits the first len(x).
    const ChunkPair view{chunk.x,
                         chunk.y.first(chunk.x.size()),
                         chunk.z.first(chunk.x.size()),
                         chunk.fx.first(chunk.x.size()),
                         chunk.fy.first(chunk.x.size()),
                         chunk.fz.first(chunk.x.size())};
    const Tet4Element element = element_faces(nodes, vector, kind);
    const Tet4Sweep mode = outputs_overlap(view) ? Tet4Sweep::FaceByFace
                           : one_lane            ? Tet4Sweep::OneLane
                                                 : Tet4Sweep::Vector;
    switch (kind) {
        case Kind::AFromM:
        case Kind::HFromJ:
            HWY_DYNAMIC_DISPATCH(Tet4CrossTimesIntegral)(element, view, mode);
            break;
        case Kind::HFromM:
            HWY_DYNAMIC_DISPATCH(Tet4HFromM)(element, view, mode);
            break;
        case Kind::AFromJ:
            HWY_DYNAMIC_DISPATCH(Tet4AFromJ)(element, view, mode);
            break;
    }
}

}  // namespace

FaceFrame face_frame(const Vec3& a, const Vec3& b, const Vec3& c) {
    FaceFrame f;
    f.a = a;
    f.b = b;
    f.c = c;
    f.n = unit(cross(b - a, c - a));
    f.t1 = unit(b - a);
    f.t2 = unit(c - b);
    f.t3 = unit(a - c);
    f.m1 = unit(cross(f.n, f.t1));
    f.m2 = unit(cross(f.n, f.t2));
    f.m3 = unit(cross(f.n, f.t3));
    return f;
}

void tet4_a_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::AFromM, nodes, vector, chunk, false);
}
void tet4_h_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::HFromM, nodes, vector, chunk, false);
}
void tet4_a_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::AFromJ, nodes, vector, chunk, false);
}
void tet4_h_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::HFromJ, nodes, vector, chunk, false);
}

void tet4_a_from_m_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::AFromM, nodes, vector, chunk, true);
}
void tet4_h_from_m_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::HFromM, nodes, vector, chunk, true);
}
void tet4_a_from_j_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::AFromJ, nodes, vector, chunk, true);
}
void tet4_h_from_j_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Kind::HFromJ, nodes, vector, chunk, true);
}

}  // namespace corvane
#endif  // HWY_ONCE
