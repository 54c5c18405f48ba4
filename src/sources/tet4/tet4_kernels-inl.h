// Per-target body of the exact tetrahedron kernels, shared by the fast and the
// accurate translation units (one each, so that the two compile in parallel);
// re-included once per Highway target through foreach_target.h. Each face
// reduces to a closed-form integral of 1/R over a triangle: a solid-angle term
// plus three edge logarithms. The body of each kernel is one template on the
// Highway descriptor; the tail runs it on one lane.
#if defined(CORVANE_SOURCES_TET4_KERNELS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef CORVANE_SOURCES_TET4_KERNELS_INL_H_
#undef CORVANE_SOURCES_TET4_KERNELS_INL_H_
#else
#define CORVANE_SOURCES_TET4_KERNELS_INL_H_
#endif

#include <hwy/highway.h>

#include <array>
#include <type_traits>

#include "math/accurate_math-inl.h"
#include "math/fast_math-inl.h"
#include "math/simd_loop-inl.h"
#include "sources/kernel.hpp"
#include "sources/tet4/tet4_faces.hpp"

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

// Targets of the lanes starting at i, in the element's coordinates (times
// its power-of-two scale, which is exact).
template <class D>
HWY_INLINE Lanes3<D> targets_at(D d, const Tet4Element& e, const ChunkPair& chunk, std::size_t i) {
    const auto s = hn::Set(d, e.scale);
    return {hn::Mul(hn::LoadU(d, chunk.x.data() + i), s), hn::Mul(hn::LoadU(d, chunk.y.data() + i), s),
            hn::Mul(hn::LoadU(d, chunk.z.data() + i), s)};
}

// What a face contributes to the field of the targets r: the vertex vector
// rho1 = a - r, the solid angle and the three edge logarithms.
template <class D>
struct FaceTerms {
    Lanes3<D> rho1;
    hn::Vec<D> omega, lam1, lam2, lam3;
};

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

// A target vector on its way through the four stages of a kernel:
//   1. the vertex distances R_k = |p_k - r|;
//   2. per face, the three edge ratios and the solid-angle ratio;
//   3. per face, the ratios t of the three logarithms;
//   4. per face, the polynomials and the contribution.
// Each stage only reads what earlier stages stored, so the vector sweep runs
// the stages of four consecutive target vectors side by side (a software
// pipeline): every division then has its operands ready when it is issued and
// the divider works while the other units finish earlier vectors. Without it
// the long division chains of one vector leave the divider idle for half of
// the time.
template <class D>
struct InFlight {
    hn::Vec<D> dist[4];
    hn::Vec<D> ratio[4][3];
    Atan2Parts<D> angle[4];
    LnParts<D> ln[4][3];
    hn::Vec<D> edge[6];  // accurate form: per element edge, delta, then its logarithm
};

// The accurate form computes each of the six element edges once (the fast
// form once per face, twice per edge): edge k of face f is element edge
// FACE_EDGE[f][k], and the first face that has an edge computes it.
constexpr std::size_t edge_of(std::size_t i, std::size_t j) {
    const std::size_t a = i < j ? i : j, b = i < j ? j : i;
    return a == 0 ? b - 1 : a == 1 ? b + 1 : 5;  // {0,1} {0,2} {0,3} {1,2} {1,3} {2,3}
}
constexpr std::array<std::array<std::size_t, 3>, 4> FACE_EDGE = [] {
    std::array<std::array<std::size_t, 3>, 4> t{};
    for (std::size_t f = 0; f < 4; ++f)
        for (std::size_t k = 0; k < 3; ++k) t[f][k] = edge_of(TET_FACES[f][k], TET_FACES[f][(k + 1) % 3]);
    return t;
}();
constexpr bool owns_edge(std::size_t f, std::size_t k) {
    for (std::size_t g = 0; g < f; ++g)
        for (std::size_t j = 0; j < 3; ++j)
            if (FACE_EDGE[g][j] == FACE_EDGE[f][k]) return false;
    return true;
}

template <class D>
HWY_INLINE void stage_distances(D d, const Tet4Element& e, const ChunkPair& chunk, std::size_t i, InFlight<D>& s) {
    const Lanes3<D> r = targets_at(d, e, chunk, i);
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
        const Lanes3<D> rho = minus(splat(d, e.nodes[k]), r);
        s.dist[k] = hn::Sqrt(dot(rho, rho));
    }
}

// Vertex vectors rho_k = p_k - r of the targets starting at i.
template <class D>
struct Vertices {
    Lanes3<D> rho[4];
};

template <class D>
HWY_INLINE Vertices<D> vertices(D d, const Tet4Element& e, const ChunkPair& chunk, std::size_t i) {
    const Lanes3<D> r = targets_at(d, e, chunk, i);
    Vertices<D> v;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) v.rho[k] = minus(splat(d, e.nodes[k]), r);
    return v;
}

// The accurate form of an edge's logarithm ln((R1 + R2 + l)/(R1 + R2 - l))
// is log1p(delta) with delta = 2l/(R1 + R2 - l), formed without the
// cancellation of R1 + R2 - l near the edge: with a, b the vectors from the
// target to the edge's ends, (R1 + R2)^2 - l^2 = 2(R1 R2 + a.b), and where
// a.b < 0 (the target beside the edge) R1 R2 + a.b = |a x e|^2/(R1 R2 - a.b)
// with e = b - a the edge vector. One division either way.
template <class D>
HWY_INLINE hn::Vec<D> edge_delta(D d, const Lanes3<D>& a, const Lanes3<D>& b, const Vec3& edge, hn::Vec<D> l,
                                 hn::Vec<D> r1, hn::Vec<D> r2) {
    const auto ab = dot(a, b);
    const auto rr = hn::Mul(r1, r2);
    const auto beside = hn::Lt(ab, hn::Zero(d));
    const Lanes3<D> e = splat(d, edge);
    const Lanes3<D> c{hn::Sub(hn::Mul(a.y, e.z), hn::Mul(a.z, e.y)), hn::Sub(hn::Mul(a.z, e.x), hn::Mul(a.x, e.z)),
                      hn::Sub(hn::Mul(a.x, e.y), hn::Mul(a.y, e.x))};
    const auto num = hn::Mul(hn::Mul(l, hn::Add(hn::Add(r1, r2), l)),
                             hn::IfThenElse(beside, hn::Sub(rr, ab), hn::Set(d, 1.0)));
    const auto den = hn::IfThenElse(beside, dot(c, c), hn::Add(rr, ab));
    return hn::Div(num, den);
}

// Stage 2 of face f: edge k runs from the face's vertex k to vertex k + 1;
// the solid angle is Van Oosterom-Strackee's. The fast form keeps the ratio
// of each logarithm, the accurate one its delta (see edge_delta).
template <bool kAccurate, class D>
HWY_INLINE void stage_ratios(D d, const Tet4Element& e, std::size_t f, const Vertices<D>& v, InFlight<D>& s) {
    const double lengths[3] = {e.faces[f].l1, e.faces[f].l2, e.faces[f].l3};
#pragma GCC unroll 3
    for (std::size_t k = 0; k < 3; ++k) {
        const auto l = hn::Set(d, lengths[k]);
        const std::size_t i1 = TET_FACES[f][k], i2 = TET_FACES[f][(k + 1) % 3];
        const auto r1 = s.dist[i1], r2 = s.dist[i2];
        if constexpr (kAccurate) {
            if (owns_edge(f, k)) {
                s.edge[FACE_EDGE[f][k]] = edge_delta(d, v.rho[i1], v.rho[i2], e.faces[f].edges[k], l, r1, r2);
            }
        } else {
            s.ratio[f][k] = hn::Div(hn::Add(hn::Add(l, r1), r2), hn::Sub(hn::Add(r1, r2), l));
        }
    }
    const auto& [ia, ib, ic] = TET_FACES[f];
    const Lanes3<D>& rho1 = v.rho[ia];
    const Lanes3<D>& rho2 = v.rho[ib];
    const Lanes3<D>& rho3 = v.rho[ic];
    const auto r1 = s.dist[ia], r2 = s.dist[ib], r3 = s.dist[ic];
    const Lanes3<D> c23{hn::Sub(hn::Mul(rho2.y, rho3.z), hn::Mul(rho2.z, rho3.y)),
                        hn::Sub(hn::Mul(rho2.z, rho3.x), hn::Mul(rho2.x, rho3.z)),
                        hn::Sub(hn::Mul(rho2.x, rho3.y), hn::Mul(rho2.y, rho3.x))};
    const auto num = dot(rho1, c23);
    const auto den = hn::Add(hn::Add(hn::Add(hn::Mul(hn::Mul(r1, r2), r3), hn::Mul(r1, dot(rho2, rho3))),
                                     hn::Mul(r2, dot(rho1, rho3))),
                             hn::Mul(r3, dot(rho1, rho2)));
    if constexpr (kAccurate) {
        s.angle[f] = AccurateAtan2Start(d, num, den);
    } else {
        s.angle[f] = FastAtan2Start(d, num, den);
    }
}

// Stage 3: the fast logarithm's division, or the accurate logarithms of the
// edges that face f computes.
template <bool kAccurate, class D>
HWY_INLINE void stage_logarithms(D d, std::size_t f, InFlight<D>& s) {
#pragma GCC unroll 3
    for (std::size_t k = 0; k < 3; ++k) {
        if constexpr (kAccurate) {
            if (owns_edge(f, k)) s.edge[FACE_EDGE[f][k]] = AccurateLog1p(d, s.edge[FACE_EDGE[f][k]]);
        } else {
            s.ln[f][k] = FastLnStart(d, s.ratio[f][k]);
        }
    }
}

// Stage 4 of face f at the targets r; `contribution` gives the face's
// (x, y, z) terms.
template <bool kAccurate, class D, class Contribution>
HWY_INLINE Lanes3<D> stage_contribution(D d, const Tet4Element& e, std::size_t f, const Lanes3<D>& r,
                                        const InFlight<D>& s, const Contribution& contribution) {
    const Lanes3<D> rho1 = minus(splat(d, e.nodes[TET_FACES[f][0]]), r);
    if constexpr (kAccurate) {
        const FaceTerms<D> t{rho1, hn::Mul(hn::Set(d, 2.0), AccurateAtan2Finish(d, s.angle[f])),
                             s.edge[FACE_EDGE[f][0]], s.edge[FACE_EDGE[f][1]], s.edge[FACE_EDGE[f][2]]};
        return contribution(d, e.faces[f], r, t);
    } else {
        const FaceTerms<D> t{rho1, hn::Mul(hn::Set(d, 2.0), FastAtan2Finish(d, s.angle[f])),
                             FastLnFinish(d, s.ln[f][0]), FastLnFinish(d, s.ln[f][1]), FastLnFinish(d, s.ln[f][2])};
        return contribution(d, e.faces[f], r, t);
    }
}

// One step of the vector sweep: stage 1 of target vector v, stage 2 of v - 1,
// stage 3 of v - 2 and stage 4 of v - 3, those that exist (the template
// flags), interleaved face by face. Vector v sits in ring[v % 4].
template <bool kAccurate, bool S1, bool S2, bool S3, bool S4, class D, class Contribution>
HWY_INLINE void pipeline_step(D d, const Tet4Element& e, const ChunkPair& chunk, std::size_t first, std::size_t v,
                              InFlight<D>* ring, const Contribution& contribution) {
    const std::size_t lanes = hn::Lanes(d);
    const std::size_t i4 = first + (v - 3) * lanes;
    if constexpr (S1) stage_distances(d, e, chunk, first + v * lanes, ring[v % 4]);
    Vertices<D> rho;
    if constexpr (S2) rho = vertices(d, e, chunk, first + (v - 1) * lanes);
    Lanes3<D> r, out;
    if constexpr (S4) {
        r = targets_at(d, e, chunk, i4);
        out = Lanes3<D>{hn::LoadU(d, chunk.fx.data() + i4), hn::LoadU(d, chunk.fy.data() + i4),
                        hn::LoadU(d, chunk.fz.data() + i4)};
    }
#pragma GCC unroll 4
    for (std::size_t f = 0; f < 4; ++f) {
        if constexpr (S2) stage_ratios<kAccurate>(d, e, f, rho, ring[(v - 1) % 4]);
        if constexpr (S3) stage_logarithms<kAccurate>(d, f, ring[(v - 2) % 4]);
        if constexpr (S4) {
            const Lanes3<D> c = stage_contribution<kAccurate>(d, e, f, r, ring[(v - 3) % 4], contribution);
            out = Lanes3<D>{hn::Add(out.x, c.x), hn::Add(out.y, c.y), hn::Add(out.z, c.z)};
        }
    }
    if constexpr (S4) {
        hn::StoreU(out.x, d, chunk.fx.data() + i4);
        hn::StoreU(out.y, d, chunk.fy.data() + i4);
        hn::StoreU(out.z, d, chunk.fz.data() + i4);
    }
}

// The m target vectors starting at target `first` through the pipeline:
// fill, every stage busy, drain.
template <bool kAccurate, class D, class Contribution>
HWY_INLINE void pipeline(D d, const Tet4Element& e, const ChunkPair& chunk, std::size_t first, std::size_t m,
                         const Contribution& contribution) {
    InFlight<D> ring[4];
    const auto step = [&](auto s1, auto s2, auto s3, auto s4, std::size_t v) HWY_ATTR {
        pipeline_step<kAccurate, decltype(s1)::value, decltype(s2)::value, decltype(s3)::value, decltype(s4)::value>(
            d, e, chunk, first, v, ring, contribution);
    };
    const std::true_type on;
    const std::false_type off;
    if (m == 0) return;
    step(on, off, off, off, 0);
    if (m == 1) {
        step(off, on, off, off, 1);
        step(off, off, on, off, 2);
        step(off, off, off, on, 3);
        return;
    }
    step(on, on, off, off, 1);
    if (m == 2) {
        step(off, on, on, off, 2);
        step(off, off, on, on, 3);
        step(off, off, off, on, 4);
        return;
    }
    step(on, on, on, off, 2);
    for (std::size_t v = 3; v < m; ++v) step(on, on, on, on, v);
    step(off, on, on, on, m);
    step(off, off, on, on, m + 1);
    step(off, off, off, on, m + 2);
}

// Faces [first, last) at the single target i, stage after stage.
template <bool kAccurate, class Contribution>
HWY_INLINE void add_one(const Tet4Element& e, const ChunkPair& chunk, std::size_t i, std::size_t first,
                        std::size_t last, const Contribution& contribution) {
    const DOne d1;
    InFlight<DOne> s;
    stage_distances(d1, e, chunk, i, s);
    const Vertices<DOne> rho = vertices(d1, e, chunk, i);
    // The accurate form's edges of these faces may be computed by others.
    for (std::size_t f = kAccurate ? 0 : first; f < (kAccurate ? 4 : last); ++f) {
        stage_ratios<kAccurate>(d1, e, f, rho, s);
        stage_logarithms<kAccurate>(d1, f, s);
    }
    const Lanes3<DOne> r = targets_at(d1, e, chunk, i);
    Lanes3<DOne> out{hn::LoadU(d1, chunk.fx.data() + i), hn::LoadU(d1, chunk.fy.data() + i),
                     hn::LoadU(d1, chunk.fz.data() + i)};
    for (std::size_t f = first; f < last; ++f) {
        const Lanes3<DOne> c = stage_contribution<kAccurate>(d1, e, f, r, s, contribution);
        out = Lanes3<DOne>{hn::Add(out.x, c.x), hn::Add(out.y, c.y), hn::Add(out.z, c.z)};
    }
    hn::StoreU(out.x, d1, chunk.fx.data() + i);
    hn::StoreU(out.y, d1, chunk.fy.data() + i);
    hn::StoreU(out.z, d1, chunk.fz.data() + i);
}

// Runs the kernel over all targets. Each output receives its four face terms
// in table order and every target gets the same operations on whichever lane
// it sits, so the vector, one-lane and face-by-face sweeps give the same sums.
// The vector sweep pipelines the full vectors, then the remaining targets
// one lane wide; the one-lane sweep takes one target after the other. The
// face-by-face sweep (one face over all targets, one target at a time, then
// the next face) is the only safe one when an output list overlaps another
// list.
template <bool kAccurate, class Contribution>
HWY_INLINE void sweep(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode, const Contribution& contribution) {
    const std::size_t n = chunk.x.size();
    switch (mode) {
        case Tet4Sweep::Vector: {
            std::size_t i = 0;
#if HWY_NATIVE_FMA
            const DFull d;
            const std::size_t m = n / hn::Lanes(d);
            pipeline<kAccurate>(d, e, chunk, 0, m, contribution);
            i = m * hn::Lanes(d);
#endif
            pipeline<kAccurate>(DOne(), e, chunk, i, n - i, contribution);
            break;
        }
        case Tet4Sweep::OneLane:
            for (std::size_t i = 0; i < n; ++i) add_one<kAccurate>(e, chunk, i, 0, 4, contribution);
            break;
        case Tet4Sweep::FaceByFace:
            for (std::size_t f = 0; f < 4; ++f) {
                for (std::size_t i = 0; i < n; ++i) add_one<kAccurate>(e, chunk, i, f, f + 1, contribution);
            }
            break;
    }
}

template <class D>
HWY_INLINE Lanes3<D> cross(const Lanes3<D>& u, const Lanes3<D>& v) {
    return {hn::Sub(hn::Mul(u.y, v.z), hn::Mul(u.z, v.y)), hn::Sub(hn::Mul(u.z, v.x), hn::Mul(u.x, v.z)),
            hn::Sub(hn::Mul(u.x, v.y), hn::Mul(u.y, v.x))};
}

template <class D>
HWY_INLINE Lanes3<D> divided(const Lanes3<D>& u, hn::Vec<D> s) {
    return {hn::Div(u.x, s), hn::Div(u.y, s), hn::Div(u.z, s)};
}

template <class D>
HWY_INLINE Lanes3<D> unit(const Lanes3<D>& u) {
    return divided(u, hn::Sqrt(dot(u, u)));
}

// The four faces of an element with the kernel's per-face constant. The
// faces sit side by side in the lanes and every lane does the operations of
// face_frame for its face; the edge normals m_i are left out for H of a
// magnetisation, which does not use them. The element is taken in coordinates
// multiplied by `scale`; the constants of the kernels whose results carry a
// length (one for A of M and H of J, two for A of J) divide it out again.
HWY_INLINE Tet4Element element_faces(Tet4Kind kind, const ElementNodes& original, const Vec3& v, double scale) {
    ElementNodes nodes;
    for (std::size_t k = 0; k < 4; ++k) nodes[k] = original[k] * scale;
    const double unscale = 1.0 / scale;
    const hn::CappedTag<double, 4> d;
    using D = decltype(d);
    // corners[j][c][f]: coordinate c of corner j (a, b, c) of face f.
    HWY_ALIGN double corners[3][3][4];
    for (std::size_t f = 0; f < 4; ++f) {
        for (std::size_t j = 0; j < 3; ++j) {
            const Vec3& p = nodes[TET_FACES[f][j]];
            corners[j][0][f] = p.x, corners[j][1][f] = p.y, corners[j][2][f] = p.z;
        }
    }
    // lists[l][c][f]: coordinate c of n, t1, t2, t3, m1, m2, m3 and
    // (l1, l2, l3) of face f.
    HWY_ALIGN double lists[8][3][4] = {};
    const auto store = [&](std::size_t list, std::size_t f, const Lanes3<D>& u) HWY_ATTR {
        hn::Store(u.x, d, lists[list][0] + f);
        hn::Store(u.y, d, lists[list][1] + f);
        hn::Store(u.z, d, lists[list][2] + f);
    };
    const auto corner = [&](std::size_t j, std::size_t f) HWY_ATTR {
        return Lanes3<D>{hn::Load(d, corners[j][0] + f), hn::Load(d, corners[j][1] + f),
                         hn::Load(d, corners[j][2] + f)};
    };
    for (std::size_t f = 0; f < 4; f += hn::Lanes(d)) {
        const Lanes3<D> a = corner(0, f), b = corner(1, f), c = corner(2, f);
        const Lanes3<D> n = unit(cross(minus(b, a), minus(c, a)));
        const Lanes3<D> edges[3] = {minus(b, a), minus(c, b), minus(a, c)};
        hn::Vec<D> lengths[3];
        store(0, f, n);
        for (std::size_t k = 0; k < 3; ++k) {
            lengths[k] = hn::Sqrt(dot(edges[k], edges[k]));
            const Lanes3<D> t = divided(edges[k], lengths[k]);
            store(1 + k, f, t);
            if (kind != Tet4Kind::HFromM) store(4 + k, f, unit(cross(n, t)));
        }
        store(7, f, Lanes3<D>{lengths[0], lengths[1], lengths[2]});
    }
    Tet4Element e{};
    e.nodes = nodes;
    e.scale = scale;
    const Vec3 c = v * 5e-8;
    const auto list = [&](std::size_t l, std::size_t f) { return Vec3{lists[l][0][f], lists[l][1][f], lists[l][2][f]}; };
    for (std::size_t f = 0; f < 4; ++f) {
        Tet4Face& face = e.faces[f];
        face.frame.a = nodes[TET_FACES[f][0]];
        face.frame.b = nodes[TET_FACES[f][1]];
        face.frame.c = nodes[TET_FACES[f][2]];
        const Vec3 n = face.frame.n = list(0, f);
        face.frame.t1 = list(1, f), face.frame.t2 = list(2, f), face.frame.t3 = list(3, f);
        face.frame.m1 = list(4, f), face.frame.m2 = list(5, f), face.frame.m3 = list(6, f);
        face.l1 = lists[7][0][f], face.l2 = lists[7][1][f], face.l3 = lists[7][2][f];
        face.edges = {face.frame.b - face.frame.a, face.frame.c - face.frame.b, face.frame.a - face.frame.c};
        const Vec3 vxn{v.y * n.z - v.z * n.y, v.z * n.x - v.x * n.z, v.x * n.y - v.y * n.x};
        switch (kind) {
            case Tet4Kind::AFromM:
                face.k = (vxn * 1e-7) * unscale;
                break;
            case Tet4Kind::HFromJ:
                face.k = (vxn * 0.07957747154594767) * unscale;
                break;
            case Tet4Kind::HFromM: {
                const double s = ((v.x * n.x + v.y * n.y) + v.z * n.z) * -0.07957747154594767;
                face.k = {s, s, s};
                break;
            }
            case Tet4Kind::AFromJ:
                face.k = c * (unscale * unscale);
                break;
        }
    }
    return e;
}

// out += k * I: A of a magnetisation (k = 1e-7 V x n) and H of a current
// density (k = V x n / 4pi).
template <bool kAccurate>
HWY_INLINE void cross_times_integral(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    sweep<kAccurate>(e, chunk, mode, [](auto d, const Tet4Face& f, const auto& r, const auto& t) HWY_ATTR {
        const auto integral = face_integral(d, f, r, t);
        return Lanes3<decltype(d)>{hn::Mul(hn::Set(d, f.k.x), integral), hn::Mul(hn::Set(d, f.k.y), integral),
                                   hn::Mul(hn::Set(d, f.k.z), integral)};
    });
}

// out += s * G, with s = -(V . n) / 4pi in k.x: H of a magnetisation.
template <bool kAccurate>
HWY_INLINE void h_from_m(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    sweep<kAccurate>(e, chunk, mode, [](auto d, const Tet4Face& f, const auto&, const auto& t) HWY_ATTR {
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
template <bool kAccurate>
HWY_INLINE void a_from_j(const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    sweep<kAccurate>(e, chunk, mode, [](auto d, const Tet4Face& f, const auto& r, const auto& t) HWY_ATTR {
        const auto integral = face_integral(d, f, r, t);
        const auto h = dot(t.rho1, splat(d, f.frame.n));
        return Lanes3<decltype(d)>{hn::Mul(hn::Mul(h, hn::Set(d, f.k.x)), integral),
                                   hn::Mul(hn::Mul(h, hn::Set(d, f.k.y)), integral),
                                   hn::Mul(hn::Mul(h, hn::Set(d, f.k.z)), integral)};
    });
}

// One kernel call: the element's faces, then the sweep over the targets.
template <bool kAccurate>
HWY_INLINE void run_kind(Tet4Kind kind, const Tet4Element& e, const ChunkPair& chunk, Tet4Sweep mode) {
    switch (kind) {
        case Tet4Kind::AFromM:
        case Tet4Kind::HFromJ:
            cross_times_integral<kAccurate>(e, chunk, mode);
            break;
        case Tet4Kind::HFromM:
            h_from_m<kAccurate>(e, chunk, mode);
            break;
        case Tet4Kind::AFromJ:
            a_from_j<kAccurate>(e, chunk, mode);
            break;
    }
}

// One kernel call: the element's faces in scaled coordinates, the sweep,
// then the vector unit's state restored.
template <bool kAccurate>
HWY_INLINE void tet4_kernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                            Tet4Sweep mode, double scale) {
    run_kind<kAccurate>(kind, element_faces(kind, nodes, vector, scale), chunk, mode);
    leave_vector_code();
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#endif  // include guard
