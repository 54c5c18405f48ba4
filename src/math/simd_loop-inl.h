// Per-target loop helpers for the vectorised kernels; re-included once per
// Highway target through foreach_target.h (hence the toggling guard).
#if defined(CORVANE_MATH_SIMD_LOOP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef CORVANE_MATH_SIMD_LOOP_INL_H_
#undef CORVANE_MATH_SIMD_LOOP_INL_H_
#else
#define CORVANE_MATH_SIMD_LOOP_INL_H_
#endif

#include <cmath>
#include <cstddef>

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DFull = hn::ScalableTag<double>;
using DOne = hn::CappedTag<double, 1>;

// Runs body(d, i) for each full vector of targets starting at i, then
// body(d1, i) with a one-lane descriptor for each remaining target. The body
// is one template, so every target gets the same operations wherever it sits.
template <class Body>
HWY_INLINE void for_each_block(std::size_t n, Body&& body) {
    const DFull d;
    const std::size_t lanes = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) body(d, i);
    const DOne d1;
    for (; i < n; ++i) body(d1, i);
}

// The one-lane form of for_each_block: the scalar path.
template <class Body>
HWY_INLINE void for_each_single(std::size_t n, Body&& body) {
    const DOne d1;
    for (std::size_t i = 0; i < n; ++i) body(d1, i);
}

// Blocks [first, first + m * lanes) through three stages as a software
// pipeline: stage 1 of block v beside stage 2 of block v - 1 and stage 3 of
// block v - 2. A stage reads what the earlier stages of its block left in
// the block's State, so the long latencies of one stage (a square root, a
// division) overlap the other stages of other blocks instead of stalling.
template <template <class> class State, class D, class Stage1, class Stage2, class Stage3>
HWY_INLINE void pipeline3(D d, std::size_t first, std::size_t m, const Stage1& stage1, const Stage2& stage2,
                          const Stage3& stage3) {
    if (m == 0) return;
    const std::size_t lanes = hn::Lanes(d);
    State<D> ring[3];
    const auto at = [&](std::size_t v) { return first + v * lanes; };
    stage1(d, at(0), ring[0]);
    if (m == 1) {
        stage2(d, at(0), ring[0]);
        stage3(d, at(0), ring[0]);
        return;
    }
    stage1(d, at(1), ring[1]);
    stage2(d, at(0), ring[0]);
    // Three steps per round, so that every ring slot is known at compile time.
    std::size_t v = 2;
    for (; v + 3 <= m; v += 3) {
        stage1(d, at(v), ring[2]);
        stage2(d, at(v - 1), ring[1]);
        stage3(d, at(v - 2), ring[0]);
        stage1(d, at(v + 1), ring[0]);
        stage2(d, at(v), ring[2]);
        stage3(d, at(v - 1), ring[1]);
        stage1(d, at(v + 2), ring[1]);
        stage2(d, at(v + 1), ring[0]);
        stage3(d, at(v), ring[2]);
    }
    for (; v < m; ++v) {
        stage1(d, at(v), ring[v % 3]);
        stage2(d, at(v - 1), ring[(v - 1) % 3]);
        stage3(d, at(v - 2), ring[(v - 2) % 3]);
    }
    stage2(d, at(m - 1), ring[(m - 1) % 3]);
    stage3(d, at(m - 2), ring[(m - 2) % 3]);
    stage3(d, at(m - 1), ring[(m - 1) % 3]);
}

// The three stages for every target: full vectors, then the remaining
// targets one lane wide, both pipelined. Every target gets the same
// operations wherever it sits.
template <template <class> class State, class Stage1, class Stage2, class Stage3>
HWY_INLINE void for_each_block_pipelined(std::size_t n, const Stage1& stage1, const Stage2& stage2,
                                         const Stage3& stage3) {
    const DFull d;
    const std::size_t m = n / hn::Lanes(d);
    pipeline3<State>(d, 0, m, stage1, stage2, stage3);
    pipeline3<State>(DOne(), m * hn::Lanes(d), n - m * hn::Lanes(d), stage1, stage2, stage3);
}

// Clears the upper halves of the vector registers before a vectorised
// function returns to code that may use legacy SSE instructions (the C
// library, the callers). The compiler places this on most exit paths itself
// but missed the one after a pipelined one-lane tail, and on Intel processors
// the SSE code that followed then ran several times slower.
HWY_INLINE void leave_vector_code() {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    _mm256_zeroupper();
#endif
}

// Fused multiply-add a*b + c, rounded once. Where the target has no fused
// instruction the lanes go through std::fma, so results never depend on it;
// kernels that need fusion also route such targets through for_each_single.
template <class D, class V>
HWY_INLINE V MulAddExact(D d, V a, V b, V c) {
#if HWY_NATIVE_FMA
    (void)d;
    return hn::MulAdd(a, b, c);
#else
    constexpr std::size_t kMax = HWY_MAX_BYTES / sizeof(double);
    HWY_ALIGN double la[kMax], lb[kMax], lc[kMax];
    hn::Store(a, d, la);
    hn::Store(b, d, lb);
    hn::Store(c, d, lc);
    for (std::size_t i = 0; i < hn::Lanes(d); ++i) la[i] = std::fma(la[i], lb[i], lc[i]);
    return hn::Load(d, la);
#endif
}

// Loop for kernels whose formulas contain fused multiply-adds: the vector
// form only where the target fuses, the exact scalar path elsewhere.
template <class Body>
HWY_INLINE void for_each_block_fused(std::size_t n, Body&& body) {
#if HWY_NATIVE_FMA
    for_each_block(n, body);
#else
    for_each_single(n, body);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#endif  // CORVANE_MATH_SIMD_LOOP_INL_H_
