// Throughput of the exact tetrahedron kernels: dispatched against one-lane
// path, on short lists, through run_direct on one and on all threads, and
// against the FMA and divider peaks measured in the same run; for the best
// target of the machine and for AVX2.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bench/tet4_bench.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace corvane_bench {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Runs `rounds` x 12 independent vector fused multiply-adds; returns the
// number of double-precision flops done (two per lane and FMA).
double FmaPeakLoop(std::size_t rounds, double* sink) {
    const hn::ScalableTag<double> d;
    const auto m = hn::Set(d, 0.9999999);
    const auto c = hn::Set(d, 1e-9);
    auto a0 = hn::Set(d, 1.0), a1 = hn::Set(d, 1.1), a2 = hn::Set(d, 1.2), a3 = hn::Set(d, 1.3);
    auto a4 = hn::Set(d, 1.4), a5 = hn::Set(d, 1.5), a6 = hn::Set(d, 1.6), a7 = hn::Set(d, 1.7);
    auto a8 = hn::Set(d, 1.8), a9 = hn::Set(d, 1.9), a10 = hn::Set(d, 2.0), a11 = hn::Set(d, 2.1);
    for (std::size_t r = 0; r < rounds; ++r) {
        a0 = hn::MulAdd(a0, m, c), a1 = hn::MulAdd(a1, m, c), a2 = hn::MulAdd(a2, m, c);
        a3 = hn::MulAdd(a3, m, c), a4 = hn::MulAdd(a4, m, c), a5 = hn::MulAdd(a5, m, c);
        a6 = hn::MulAdd(a6, m, c), a7 = hn::MulAdd(a7, m, c), a8 = hn::MulAdd(a8, m, c);
        a9 = hn::MulAdd(a9, m, c), a10 = hn::MulAdd(a10, m, c), a11 = hn::MulAdd(a11, m, c);
    }
    const auto s = hn::Add(hn::Add(hn::Add(hn::Add(a0, a1), hn::Add(a2, a3)), hn::Add(hn::Add(a4, a5), hn::Add(a6, a7))),
                           hn::Add(hn::Add(a8, a9), hn::Add(a10, a11)));
    *sink += hn::GetLane(s);
    return static_cast<double>(rounds) * 12.0 * 2.0 * static_cast<double>(hn::Lanes(d));
}

// Divides `rounds` times a list of 1024 independent operands (in the first
// level cache) by another; returns the number of lane divisions done. The
// kernels are bound by the divider as much as by the FMA units: per pair
// they divide 28 times and take 4 square roots.
double DivPeakLoop(std::size_t rounds, double* sink) {
    const hn::ScalableTag<double> d;
    constexpr std::size_t kLength = 1024;
    HWY_ALIGN double num[kLength], den[kLength], out[kLength];
    for (std::size_t i = 0; i < kLength; ++i) {
        num[i] = 1.0 + 0.37 * static_cast<double>(i % 17);
        den[i] = 0.5 + 0.29 * static_cast<double>(i % 13);
    }
    for (std::size_t r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < kLength; i += hn::Lanes(d)) {
            hn::Store(hn::Div(hn::Load(d, num + i), hn::Load(d, den + i)), d, out + i);
        }
        num[r % kLength] = out[(7 * r) % kLength];
    }
    *sink += out[rounds % kLength];
    return static_cast<double>(rounds) * static_cast<double>(kLength);
}

// The target that dynamic dispatch chose.
std::int64_t ChosenTarget() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace corvane_bench
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <hwy/targets.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <span>
#include <vector>

#include "biotsavart/direct.hpp"
#include "lib/parallelism.hpp"
#include "sources/tet4/tet4.hpp"
#include "sources/tet4/tet4_scalar.hpp"

namespace corvane_bench {
HWY_EXPORT(FmaPeakLoop);
HWY_EXPORT(DivPeakLoop);
HWY_EXPORT(ChosenTarget);
}  // namespace corvane_bench

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

// Floating-point operations per element-target pair, counted by hand from
// the formulas (an FMA counts 2, a division or square root 1). Per target:
// the four vertex vectors and distances 36. Per face: solid angle and three
// logarithms 120 (atan2 17, each log with its ratio 23), face integral 36;
// then the contribution: c.I 6, (h c).I 14, gradient s.G 36 (no face
// integral). Four faces.
constexpr double FLOPS_CROSS = 36 + 4 * (120 + 36 + 6);     // tet4_a_from_m, tet4_h_from_j: 684
constexpr double FLOPS_A_FROM_J = 36 + 4 * (120 + 36 + 14);  // 716
constexpr double FLOPS_H_FROM_M = 36 + 4 * (120 + 36);       // 660
// Divisions and square roots per pair: per face one for the arctangent and
// two for each of three logarithms (the ratio and t); four distances.
constexpr double DIVIDER_OPS = 4 * 7 + 4;

struct Kernel {
    const char* name;
    ElementKernel dispatched, scalar;
    bool magnetization, h_field;
    double flops;
};

const Kernel KERNELS[] = {
    {"tet4_a_from_m", tet4_a_from_m, tet4_a_from_m_scalar, true, false, FLOPS_CROSS},
    {"tet4_h_from_m", tet4_h_from_m, tet4_h_from_m_scalar, true, true, FLOPS_H_FROM_M},
    {"tet4_a_from_j", tet4_a_from_j, tet4_a_from_j_scalar, false, false, FLOPS_A_FROM_J},
    {"tet4_h_from_j", tet4_h_from_j, tet4_h_from_j_scalar, false, true, FLOPS_CROSS},
};

// Seconds of the process's processor time (all threads) and of the wall clock.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}
double wall_seconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// Seconds per call of f: the best of five rounds, each repeated until at
// least min_seconds have passed. One-thread figures are timed in processor
// time, so that other processes on a shared machine do not count; figures
// on all threads in wall time.
template <class F>
double seconds_per_call(F&& f, bool wall = false, double min_seconds = 0.05) {
    const auto now = wall ? wall_seconds : cpu_seconds;
    f();  // warm-up
    double best = 1e30;
    std::size_t reps = 1;
    for (int round = 0; round < 5; ++round) {
        for (;;) {
            const double t0 = now();
            for (std::size_t r = 0; r < reps; ++r) f();
            const double dt = now() - t0;
            if (dt >= min_seconds) {
                best = std::min(best, dt / static_cast<double>(reps));
                break;
            }
            reps = dt > 0.0 ? static_cast<std::size_t>(static_cast<double>(reps) * 1.3 * min_seconds / dt) + 1
                            : reps * 10;
        }
    }
    return best;
}

// E translated copies of one positively oriented tetrahedron on a 4 x 4 grid
// of cells, and N targets spread over and around them.
struct Problem {
    std::vector<double> nodes;
    std::vector<std::uint32_t> tets;
    std::vector<double> vectors;
    TargetPoints targets;
};

Problem make_problem(std::size_t n_elements, std::size_t n_targets) {
    const Vec3 base[4] = {{0.1, -0.2, 0.05}, {1.3, 0.1, -0.1}, {0.2, 0.9, 0.3}, {0.3, 0.2, 1.1}};
    Problem p;
    for (std::size_t e = 0; e < n_elements; ++e) {
        const Vec3 shift{1.5 * static_cast<double>(e % 4), 1.5 * static_cast<double>((e / 4) % 4),
                         1.5 * static_cast<double>(e / 16)};
        for (std::size_t k = 0; k < 4; ++k) {
            push_vec3(p.nodes, base[k] + shift);
            p.tets.push_back(static_cast<std::uint32_t>(4 * e + k));
        }
        push_vec3(p.vectors, Vec3{0.7, -1.3, 2.1});
    }
    std::uint64_t state = 12345;
    const auto uniform = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    for (std::size_t i = 0; i < n_targets; ++i) {
        p.targets.x.push_back(-2.0 + 10.0 * uniform());
        p.targets.y.push_back(-2.0 + 10.0 * uniform());
        p.targets.z.push_back(-2.0 + 6.0 * uniform());
    }
    return p;
}

// All elements at all targets, one thread, calling the kernel directly.
void sweep(const Problem& p, ElementKernel kernel, FieldOutput& out) {
    const Vec3List nodes(p.nodes);
    const Vec3List vectors(p.vectors);
    const ChunkPair chunk{p.targets.x, p.targets.y, p.targets.z, out.fx, out.fy, out.fz};
    for (std::size_t e = 0; e < vectors.size(); ++e) {
        const ElementNodes en{nodes[4 * e], nodes[4 * e + 1], nodes[4 * e + 2], nodes[4 * e + 3]};
        kernel(en, vectors[e], chunk);
    }
}

// Short lists as the octree's near field hands them out: every element at
// consecutive windows of `len` targets; returns the number of pairs.
double sweep_short(const Problem& p, ElementKernel kernel, FieldOutput& out, std::size_t len) {
    const Vec3List nodes(p.nodes);
    const Vec3List vectors(p.vectors);
    const std::size_t n = p.targets.size();
    double pairs = 0.0;
    for (std::size_t start = 0; start + len <= n; start += len) {
        const ChunkPair chunk{std::span(p.targets.x).subspan(start, len), std::span(p.targets.y).subspan(start, len),
                              std::span(p.targets.z).subspan(start, len), std::span(out.fx).subspan(start, len),
                              std::span(out.fy).subspan(start, len), std::span(out.fz).subspan(start, len)};
        for (std::size_t e = 0; e < vectors.size(); ++e) {
            const ElementNodes en{nodes[4 * e], nodes[4 * e + 1], nodes[4 * e + 2], nodes[4 * e + 3]};
            kernel(en, vectors[e], chunk);
        }
        pairs += static_cast<double>(len * vectors.size());
    }
    return pairs;
}

double fma_peak_flops() {
    double sink = 0.0;
    double flops = 0.0;
    const double dt = seconds_per_call([&] { flops = HWY_DYNAMIC_DISPATCH(corvane_bench::FmaPeakLoop)(1u << 22, &sink); });
    if (sink == 0.12345) std::printf(" ");  // keeps the loop alive
    return flops / dt;
}

double div_peak_rate() {
    double sink = 0.0;
    double divisions = 0.0;
    const double dt = seconds_per_call([&] { divisions = HWY_DYNAMIC_DISPATCH(corvane_bench::DivPeakLoop)(1u << 10, &sink); });
    if (sink == 0.12345) std::printf(" ");  // keeps the loop alive
    return divisions / dt;
}

}  // namespace

int main() {
    const std::size_t n_elements = 32, n_targets = 4099;  // not a multiple of the vector width
    const Problem p = make_problem(n_elements, n_targets);
    const double pairs = static_cast<double>(n_elements * n_targets);
    const std::size_t threads = available_parallelism();

    std::printf("tet4 kernels: %zu elements x %zu targets, %zu threads available; short lists: every element at\n"
                "consecutive windows of 16 and of 100 targets. Mpair/s, best of 5 rounds each, in processor\n"
                "time except `direct all` (wall time).\n",
                n_elements, n_targets, threads);
    std::printf("flops per pair (by hand, FMA = 2): a_from_m/h_from_j %.0f, h_from_m %.0f, a_from_j %.0f;"
                " divisions and square roots per pair %.0f\n",
                FLOPS_CROSS, FLOPS_H_FROM_M, FLOPS_A_FROM_J, DIVIDER_OPS);
    // The best target of this machine, then AVX2 where that is not already it.
    std::vector<std::int64_t> targets{0};
    const std::int64_t best = HWY_DYNAMIC_DISPATCH(corvane_bench::ChosenTarget)();
    const std::vector<std::int64_t> available = hwy::SupportedAndGeneratedTargets();
    if (best != HWY_AVX2 && std::find(available.begin(), available.end(), HWY_AVX2) != available.end()) {
        targets.push_back(HWY_AVX2);
    }
    for (const std::int64_t target : targets) {
        hwy::SetSupportedTargetsForTest(target);
        const double peak = fma_peak_flops();
        const double div_rate = div_peak_rate();
        std::printf("\ntarget %s: FMA peak %.2f GFLOP/s, divider %.2f G lane divisions/s (one thread, measured)\n",
                    hwy::TargetName(HWY_DYNAMIC_DISPATCH(corvane_bench::ChosenTarget)()), peak * 1e-9,
                    div_rate * 1e-9);
        std::printf("%-14s %12s %8s %8s %9s %9s %12s %10s %9s %9s\n", "kernel", "simd Mpair/s", "scalar", "speedup",
                    "short 16", "short 100", "direct 1 thr", "direct all", "% FMA pk", "% divider");
        for (const Kernel& k : KERNELS) {
            FieldOutput out(n_targets);
            const double t_simd = seconds_per_call([&] { sweep(p, k.dispatched, out); });
            const double t_scalar = seconds_per_call([&] { sweep(p, k.scalar, out); });
            double short_rate[2];
            for (std::size_t s = 0; s < 2; ++s) {
                const std::size_t len = s == 0 ? 16 : 100;
                double short_pairs = 0.0;
                const double t = seconds_per_call([&] { short_pairs = sweep_short(p, k.dispatched, out, len); });
                short_rate[s] = short_pairs / t;
            }
            const SourceVectors sources{k.magnetization, Vec3List(p.vectors)};
            const Vec3List nodes(p.nodes);
            const TetList tets(p.tets.data(), p.tets.size() / 4);
            const auto direct = [&](std::uint32_t n_threads) {
                return seconds_per_call(
                    [&] {
                        FieldOutput o(n_targets);
                        run_direct(nodes, tets, sources, k.h_field, p.targets, o, false, n_threads);
                    },
                    n_threads != 1);
            };
            const double t_one = direct(1);
            const double t_all = direct(0);
            std::printf("%-14s %12.2f %8.2f %8.2f %9.2f %9.2f %12.2f %10.2f %8.1f%% %8.1f%%\n", k.name,
                        pairs / t_simd * 1e-6, pairs / t_scalar * 1e-6, t_scalar / t_simd, short_rate[0] * 1e-6,
                        short_rate[1] * 1e-6, pairs / t_one * 1e-6, pairs / t_all * 1e-6,
                        100.0 * pairs * k.flops / t_simd / peak, 100.0 * pairs * DIVIDER_OPS / t_simd / div_rate);
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    return 0;
}
#endif  // HWY_ONCE
