// Exact tetrahedron kernels: argument checks, orientation and scaling of
// the element, then the fast or the accurate vector kernels.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "lib/failure.hpp"
#include "sources/tet4/tet4.hpp"
#include "sources/tet4/tet4_dispatch.hpp"
#include "sources/tet4/tet4_scalar.hpp"

namespace corvane {

namespace {

Vec3 cross(const Vec3& u, const Vec3& v) {
    return {u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
}

double dot(const Vec3& u, const Vec3& v) { return (u.x * v.x + u.y * v.y) + u.z * v.z; }

double norm(const Vec3& v) { return std::sqrt(dot(v, v)); }

Vec3 divided(const Vec3& v, double s) { return {v.x / s, v.y / s, v.z / s}; }

Vec3 unit(const Vec3& v) { return divided(v, norm(v)); }

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

void check_lengths(const ChunkPair& chunk, Tet4Kind kind) {
    switch (kind) {
        case Tet4Kind::AFromM:
            check_chunk_lengths(chunk, OutputNames::VectorPotential);
            break;
        case Tet4Kind::HFromJ:
            check_chunk_lengths(chunk, OutputNames::HField);
            break;
        case Tet4Kind::AFromJ: {
            const std::size_t n = chunk.x.size();
            assert_equal(chunk.y.size(), n);
            assert_equal(chunk.z.size(), n);
            assert_equal(chunk.fx.size(), n);
            assert_equal(chunk.fy.size(), n);
            assert_equal(chunk.fz.size(), n);
            break;
        }
        case Tet4Kind::HFromM:
            check_h_from_m_lengths(chunk);
            break;
    }
}

// The element with nodes 1 and 2 exchanged when its signed volume is
// negative, so that every face normal points outward: the field of a body
// does not depend on how its nodes are numbered. Positively oriented and flat
// elements are passed on as they are.
ElementNodes positively_oriented(const ElementNodes& nodes) {
    const Vec3 u = nodes[1] - nodes[0], v = nodes[2] - nodes[0], w = nodes[3] - nodes[0];
    if (!(dot(u, cross(v, w)) < 0.0)) return nodes;
    return {nodes[0], nodes[2], nodes[1], nodes[3]};
}

void run(Tet4Kind kind, Tet4Math math, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
         bool one_lane) {
    check_lengths(chunk, kind);
    if (chunk.x.empty()) return;
    // tet4_h_from_m may be given longer lists; it only visits the first len(x).
    const ChunkPair view{chunk.x,
                         chunk.y.first(chunk.x.size()),
                         chunk.z.first(chunk.x.size()),
                         chunk.fx.first(chunk.x.size()),
                         chunk.fy.first(chunk.x.size()),
                         chunk.fz.first(chunk.x.size())};
    const Tet4Sweep mode = outputs_overlap(view) ? Tet4Sweep::FaceByFace
                           : one_lane            ? Tet4Sweep::OneLane
                                                 : Tet4Sweep::Vector;
    const ElementNodes oriented = positively_oriented(nodes);
    if (math == Tet4Math::Accurate) {
        tet4_accurate_kernel(kind, oriented, vector, view, mode, tet4_scale(oriented));
    } else {
        tet4_fast_kernel(kind, oriented, vector, view, mode, tet4_scale(oriented));
    }
}

}  // namespace

double tet4_scale(const ElementNodes& nodes) {
    double size = 0.0;
    for (std::size_t k = 1; k < 4; ++k) {
        const Vec3 d = nodes[k] - nodes[0];
        size = std::fmax(size, std::fmax(std::fmax(std::fabs(d.x), std::fabs(d.y)), std::fabs(d.z)));
    }
    if (!(size > 0.0) || !std::isfinite(size)) return 1.0;
    int exponent = 0;
    std::frexp(size, &exponent);  // size in [2^(exponent - 1), 2^exponent)
    if (exponent >= -4 && exponent <= 20) return 1.0;
    return std::ldexp(1.0, -exponent);
}

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
    run(Tet4Kind::AFromM, Tet4Math::Fast, nodes, vector, chunk, false);
}
void tet4_h_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromM, Tet4Math::Fast, nodes, vector, chunk, false);
}
void tet4_a_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromJ, Tet4Math::Fast, nodes, vector, chunk, false);
}
void tet4_h_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromJ, Tet4Math::Fast, nodes, vector, chunk, false);
}

void tet4_a_from_m_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromM, Tet4Math::Fast, nodes, vector, chunk, true);
}
void tet4_h_from_m_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromM, Tet4Math::Fast, nodes, vector, chunk, true);
}
void tet4_a_from_j_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromJ, Tet4Math::Fast, nodes, vector, chunk, true);
}
void tet4_h_from_j_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromJ, Tet4Math::Fast, nodes, vector, chunk, true);
}

void tet4_a_from_m_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromM, Tet4Math::Accurate, nodes, vector, chunk, false);
}
void tet4_h_from_m_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromM, Tet4Math::Accurate, nodes, vector, chunk, false);
}
void tet4_a_from_j_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromJ, Tet4Math::Accurate, nodes, vector, chunk, false);
}
void tet4_h_from_j_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromJ, Tet4Math::Accurate, nodes, vector, chunk, false);
}

void tet4_a_from_m_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromM, Tet4Math::Accurate, nodes, vector, chunk, true);
}
void tet4_h_from_m_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromM, Tet4Math::Accurate, nodes, vector, chunk, true);
}
void tet4_a_from_j_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::AFromJ, Tet4Math::Accurate, nodes, vector, chunk, true);
}
void tet4_h_from_j_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk) {
    run(Tet4Kind::HFromJ, Tet4Math::Accurate, nodes, vector, chunk, true);
}

}  // namespace corvane
