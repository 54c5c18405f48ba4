// Rotate, translate along the axis, rotate back: small dense blocks applied
// to the lanes of a batch, four output rows at a time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fmm/m2l.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>

#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane::fmm {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr std::size_t B = M2L_BATCH;

// y[r] = sign * sum_c a[c * s + r] x[c] for r < s, rows of B lanes.
template <class D>
HWY_INLINE void block(D d, const double* a, std::size_t s, const double* x, double* y, double sign) {
    constexpr std::size_t V = B / hn::MaxLanes(D());
    const std::size_t lanes = hn::Lanes(d);
    std::size_t r = 0;
    for (; r + 4 <= s; r += 4) {
        hn::Vec<D> acc[4][V];
        for (std::size_t u = 0; u < 4; ++u)
            for (std::size_t v = 0; v < V; ++v) acc[u][v] = hn::Zero(d);
        for (std::size_t c = 0; c < s; ++c) {
            hn::Vec<D> xc[V];
            for (std::size_t v = 0; v < V; ++v) xc[v] = hn::LoadU(d, x + c * B + v * lanes);
            for (std::size_t u = 0; u < 4; ++u) {
                const auto w = hn::Set(d, a[c * s + r + u]);
                for (std::size_t v = 0; v < V; ++v) acc[u][v] = hn::MulAdd(w, xc[v], acc[u][v]);
            }
        }
        const auto sg = hn::Set(d, sign);
        for (std::size_t u = 0; u < 4; ++u)
            for (std::size_t v = 0; v < V; ++v) hn::StoreU(hn::Mul(sg, acc[u][v]), d, y + (r + u) * B + v * lanes);
    }
    for (; r < s; ++r) {
        hn::Vec<D> acc[V];
        for (std::size_t v = 0; v < V; ++v) acc[v] = hn::Zero(d);
        for (std::size_t c = 0; c < s; ++c) {
            const auto w = hn::Set(d, a[c * s + r]);
            for (std::size_t v = 0; v < V; ++v) acc[v] = hn::MulAdd(w, hn::LoadU(d, x + c * B + v * lanes), acc[v]);
        }
        const auto sg = hn::Set(d, sign);
        for (std::size_t v = 0; v < V; ++v) hn::StoreU(hn::Mul(sg, acc[v]), d, y + r * B + v * lanes);
    }
}

// One degree n through a rotation: the phases (c, s of each order m) on the
// input or the output, and the real-part and imaginary-part matrices; rows of
// B lanes in the real layout, g and h scratch of 2n+1 rows each.
template <class D>
HWY_INLINE void rotate_degree(D d, std::size_t n, const double* real, const double* imaginary, const double* c,
                              const double* s, bool phases_first, const double* x, double* y, double* g, double* h) {
    const std::size_t lanes = hn::Lanes(d);
    double* g_im = g + (n + 1) * B;
    double* h_im = h + (n + 1) * B;
    // Real parts to g, imaginary parts after them, turned by the phases first.
    std::copy_n(x, B, g);
    for (std::size_t m = 1; m <= n; ++m) {
        const double* re = x + (2 * m - 1) * B;
        const double* im = re + B;
        if (phases_first) {
            const auto cm = hn::Set(d, c[m]), sm = hn::Set(d, s[m]);
            for (std::size_t v = 0; v < B; v += lanes) {
                const auto a = hn::LoadU(d, re + v), b = hn::LoadU(d, im + v);
                hn::StoreU(hn::Sub(hn::Mul(cm, a), hn::Mul(sm, b)), d, g + m * B + v);
                hn::StoreU(hn::Add(hn::Mul(sm, a), hn::Mul(cm, b)), d, g_im + (m - 1) * B + v);
            }
        } else {
            std::copy_n(re, B, g + m * B);
            std::copy_n(im, B, g_im + (m - 1) * B);
        }
    }
    block(d, real, n + 1, g, h, 1.0);
    if (n > 0) block(d, imaginary, n, g_im, h_im, 1.0);
    std::copy_n(h, B, y);
    for (std::size_t m = 1; m <= n; ++m) {
        double* re = y + (2 * m - 1) * B;
        double* im = re + B;
        if (phases_first) {
            std::copy_n(h + m * B, B, re);
            std::copy_n(h_im + (m - 1) * B, B, im);
        } else {
            const auto cm = hn::Set(d, c[m]), sm = hn::Set(d, s[m]);
            for (std::size_t v = 0; v < B; v += lanes) {
                const auto a = hn::LoadU(d, h + m * B + v), b = hn::LoadU(d, h_im + (m - 1) * B + v);
                hn::StoreU(hn::Sub(hn::Mul(cm, a), hn::Mul(sm, b)), d, re + v);
                hn::StoreU(hn::Add(hn::Mul(sm, a), hn::Mul(cm, b)), d, im + v);
            }
        }
    }
}

void TranslateBatch(const AxialTranslation& t, const double* x, double* y, double* scratch) {
    const hn::CappedTag<double, B> d;
    const std::size_t p = t.order, k = real_count(p);
    double* xr = scratch;               // rotated input
    double* yr = scratch + k * B;       // rotated output
    double* g = scratch + 2 * k * B;    // one order's or degree's coefficients, gathered
    double* h = scratch + 3 * k * B;
    for (std::size_t n = 0; n <= p; ++n)
        rotate_degree(d, n, t.to_real[n].data(), t.to_imaginary[n].data(), t.in_cos.data(), t.in_sin.data(), true,
                      x + n * n * B, xr + n * n * B, g, h);
    for (std::size_t m = 0; m <= p; ++m) {
        const std::size_t s = p + 1 - m;
        for (int part = 0; part < (m == 0 ? 1 : 2); ++part) {
            for (std::size_t n = m; n <= p; ++n)
                std::copy_n(xr + real_index(n, m, part == 1) * B, B, g + (n - m) * B);
            block(d, t.along_axis[m].data(), s, g, h, part == 1 ? t.imaginary_sign : 1.0);
            for (std::size_t j = m; j <= p; ++j)
                std::copy_n(h + (j - m) * B, B, yr + real_index(j, m, part == 1) * B);
        }
    }
    for (std::size_t n = 0; n <= p; ++n)
        rotate_degree(d, n, t.from_real[n].data(), t.from_imaginary[n].data(), t.out_cos.data(), t.out_sin.data(),
                      false, yr + n * n * B, y + n * n * B, g, h);
    corvane::HWY_NAMESPACE::leave_vector_code();
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane::fmm
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane::fmm {

HWY_EXPORT(TranslateBatch);

void translate_batch(const AxialTranslation& t, const double* x, double* y, double* scratch) {
    HWY_DYNAMIC_DISPATCH(TranslateBatch)(t, x, y, scratch);
}

}  // namespace corvane::fmm
#endif  // HWY_ONCE
