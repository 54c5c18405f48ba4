// Column-blocked matrix products with run-time dispatch: each output value is
// one chain of fused multiply-adds over k in order, so a column does not
// depend on its neighbours in the call.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fmm/dense.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "fmm/dense.hpp"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane::fmm {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Rows [r, r + R * lanes) of columns [j, j + C).
template <std::size_t R, std::size_t C, class D>
HWY_INLINE void block(D d, const double* a, std::size_t rows_padded, std::size_t k, const double* x,
                      std::size_t ldx, double* y, std::size_t ldy, std::size_t r, std::size_t j) {
    const std::size_t lanes = hn::Lanes(d);
    hn::Vec<D> acc[R][C];
    for (std::size_t u = 0; u < R; ++u)
        for (std::size_t c = 0; c < C; ++c) acc[u][c] = hn::Zero(d);
    for (std::size_t kk = 0; kk < k; ++kk) {
        hn::Vec<D> col[R];
        for (std::size_t u = 0; u < R; ++u) col[u] = hn::LoadU(d, a + kk * rows_padded + r + u * lanes);
        for (std::size_t c = 0; c < C; ++c) {
            const auto b = hn::Set(d, x[(j + c) * ldx + kk]);
            for (std::size_t u = 0; u < R; ++u) acc[u][c] = hn::MulAdd(col[u], b, acc[u][c]);
        }
    }
    for (std::size_t u = 0; u < R; ++u)
        for (std::size_t c = 0; c < C; ++c) hn::StoreU(acc[u][c], d, y + (j + c) * ldy + r + u * lanes);
}

template <std::size_t C, class D>
HWY_INLINE void columns(D d, const double* a, std::size_t rows_padded, std::size_t k, const double* x,
                        std::size_t ldx, double* y, std::size_t ldy, std::size_t j) {
    const std::size_t lanes = hn::Lanes(d);
    std::size_t r = 0;
    for (; r + 4 * lanes <= rows_padded; r += 4 * lanes) block<4, C>(d, a, rows_padded, k, x, ldx, y, ldy, r, j);
    for (; r < rows_padded; r += lanes) block<1, C>(d, a, rows_padded, k, x, ldx, y, ldy, r, j);
}

void Multiply(const double* a, std::size_t rows_padded, std::size_t k, const double* x, std::size_t ldx,
              std::size_t n, double* y, std::size_t ldy) {
    const hn::CappedTag<double, ROW_PADDING> d;
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) columns<4>(d, a, rows_padded, k, x, ldx, y, ldy, j);
    for (; j < n; ++j) columns<1>(d, a, rows_padded, k, x, ldx, y, ldy, j);
    corvane::HWY_NAMESPACE::leave_vector_code();
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane::fmm
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane::fmm {

HWY_EXPORT(Multiply);

void multiply(const double* a, std::size_t rows_padded, std::size_t k, const double* x, std::size_t ldx,
              std::size_t n, double* y, std::size_t ldy) {
    HWY_DYNAMIC_DISPATCH(Multiply)(a, rows_padded, k, x, ldx, n, y, ldy);
}

}  // namespace corvane::fmm
#endif  // HWY_ONCE
