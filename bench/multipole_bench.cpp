// Throughput of the multipole kernels: dispatched against one-lane path, on
// one long target list and on the short lists the octree traversal hands them.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "octree/kernels.hpp"
#include "octree/kernels_scalar.hpp"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

struct Kernel {
    const char* name;
    MultipoleKernel dispatched, scalar;
};

const Kernel KERNELS[] = {
    {"multipole_a_from_j", multipole_a_from_j, multipole_a_from_j_scalar},
    {"multipole_h_from_j_0", multipole_h_from_j_0, multipole_h_from_j_0_scalar},
    {"multipole_h_from_j_1", multipole_h_from_j_1, multipole_h_from_j_1_scalar},
    {"multipole_a_from_m_0", multipole_a_from_m_0, multipole_a_from_m_0_scalar},
    {"multipole_a_from_m_1", multipole_a_from_m_1, multipole_a_from_m_1_scalar},
    {"multipole_h_from_m_0", multipole_h_from_m_0, multipole_h_from_m_0_scalar},
};

// Seconds per call of f: repeated until at least min_seconds have passed.
template <class F>
double seconds_per_call(F&& f, double min_seconds = 0.2) {
    f();  // warm-up
    std::size_t reps = 1;
    for (;;) {
        const auto t0 = Clock::now();
        for (std::size_t r = 0; r < reps; ++r) f();
        const double dt = std::chrono::duration<double>(Clock::now() - t0).count();
        if (dt >= min_seconds) return dt / static_cast<double>(reps);
        reps = dt > 0.0 ? static_cast<std::size_t>(static_cast<double>(reps) * 1.3 * min_seconds / dt) + 1 : reps * 10;
    }
}

}  // namespace

int main() {
    const std::size_t n_targets = 4099;  // not a multiple of the vector width
    TargetPoints targets;
    std::uint64_t state = 12345;
    const auto uniform = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    for (std::size_t i = 0; i < n_targets; ++i) {
        targets.x.push_back(-5.0 + 10.0 * uniform());
        targets.y.push_back(-5.0 + 10.0 * uniform());
        targets.z.push_back(-5.0 + 10.0 * uniform());
    }
    const Vec3 center{0.1, -0.2, 0.3}, moment{0.7, -1.3, 2.1};
    const FirstMoment first{0.3, -0.5, 0.2, 0.9, -0.1, 0.4, -0.7, 0.6, 0.25};
    const NodeExpansion expansion{center, moment, first};
    FieldOutput out(n_targets);

    // Whole list in one call, or cut into calls of `list` targets.
    const auto sweep = [&](MultipoleKernel kernel, std::size_t list) {
        for (std::size_t start = 0; start < n_targets; start += list) {
            const std::size_t n = std::min(list, n_targets - start);
            const ChunkPair c{std::span<const double>(targets.x).subspan(start, n),
                              std::span<const double>(targets.y).subspan(start, n),
                              std::span<const double>(targets.z).subspan(start, n),
                              std::span<double>(out.fx).subspan(start, n), std::span<double>(out.fy).subspan(start, n),
                              std::span<double>(out.fz).subspan(start, n)};
            kernel(expansion, c);
        }
    };

    std::printf("multipole kernels: %zu targets, best target %s; M targets/s (one thread)\n", n_targets,
                hwy::TargetName(hwy::SupportedAndGeneratedTargets()[0]));
    const std::size_t lists[] = {n_targets, 32, 8};
    std::printf("%-22s", "kernel");
    for (const std::size_t l : lists) {
        char head[32];
        std::snprintf(head, sizeof head, "simd n=%zu", l);
        std::printf(" %14s %9s %7s", head, "scalar", "ratio");
    }
    std::printf("\n");
    for (const Kernel& k : KERNELS) {
        std::printf("%-22s", k.name);
        for (const std::size_t l : lists) {
            const double t_simd = seconds_per_call([&] { sweep(k.dispatched, l); });
            const double t_scalar = seconds_per_call([&] { sweep(k.scalar, l); });
            std::printf(" %14.1f %9.1f %7.2f", n_targets / t_simd * 1e-6, n_targets / t_scalar * 1e-6,
                        t_scalar / t_simd);
        }
        std::printf("\n");
    }
    return 0;
}
