// The threaded direct driver: identical sums for every thread count, and
// failures met by every worker. Run under ThreadSanitizer by the checked build.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "biotsavart/direct.hpp"
#include "lib/failure.hpp"
#include "lib/parallelism.hpp"
#include "support.hpp"

namespace corvane {
namespace {

struct Problem {
    std::vector<double> nodes;
    std::vector<std::uint32_t> connectivity;
    std::vector<double> vectors;
    TargetPoints targets;
};

// n_elements separate small tetrahedra (positively oriented) and targets
// scattered through and around them.
Problem random_problem(std::size_t n_elements, std::size_t n_targets, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Problem p;
    const double corner[4][3] = {{0, 0, 0}, {0.3, 0, 0}, {0, 0.3, 0}, {0, 0, 0.3}};
    for (std::size_t e = 0; e < n_elements; ++e) {
        const double base[3] = {u(rng), u(rng), u(rng)};
        for (std::size_t k = 0; k < 4; ++k) {
            for (std::size_t c = 0; c < 3; ++c) p.nodes.push_back(base[c] + corner[k][c] + 0.05 * u(rng));
            p.connectivity.push_back(static_cast<std::uint32_t>(4 * e + k));
        }
        for (std::size_t c = 0; c < 3; ++c) p.vectors.push_back(u(rng));
    }
    for (std::size_t i = 0; i < n_targets; ++i) {
        p.targets.x.push_back(2.0 * u(rng));
        p.targets.y.push_back(2.0 * u(rng));
        p.targets.z.push_back(2.0 * u(rng));
    }
    return p;
}

FieldOutput run(const Problem& p, bool magnetization, bool h_field, bool point_kernels, std::uint32_t threads) {
    FieldOutput out(p.targets.size());
    const SourceVectors sources{magnetization, Vec3List(p.vectors)};
    run_direct(Vec3List(p.nodes), TetList(p.connectivity.data(), p.connectivity.size() / 4), sources, h_field,
               p.targets, out, point_kernels, threads);
    return out;
}

std::string failure_of(const Problem& p, std::size_t n_vectors, std::uint32_t threads) {
    FieldOutput out(p.targets.size());
    const SourceVectors sources{true, Vec3List(p.vectors.data(), n_vectors)};
    try {
        run_direct(Vec3List(p.nodes), TetList(p.connectivity.data(), p.connectivity.size() / 4), sources, true,
                   p.targets, out, false, threads);
    } catch (const Failure& e) {
        return e.what();
    }
    return "";
}

TEST(DirectDriver, SameBitsForEveryThreadCountAndKernel) {
    const Problem p = random_problem(9, 53, 11);
    for (int variant = 0; variant < 8; ++variant) {
        const bool magnetization = variant & 1, h_field = variant & 2, point_kernels = variant & 4;
        SCOPED_TRACE(variant);
        const FieldOutput one = run(p, magnetization, h_field, point_kernels, 1);
        for (const std::uint32_t threads : {0u, 2u, 3u, 0xFFFFFFFFu}) {
            const FieldOutput many = run(p, magnetization, h_field, point_kernels, threads);
            for (std::size_t i = 0; i < p.targets.size(); ++i) {
                EXPECT_TRUE(testing::same_bits(many.fx[i], one.fx[i])) << threads << " " << i;
                EXPECT_TRUE(testing::same_bits(many.fy[i], one.fy[i])) << threads << " " << i;
                EXPECT_TRUE(testing::same_bits(many.fz[i], one.fz[i])) << threads << " " << i;
            }
        }
    }
}

// The accurate sum takes far elements as quadrature points, tier by tier
// with the distance: a target's bits depend neither on the thread count nor
// on which other targets share its block.
TEST(DirectDriver, AccurateFarTiersKeepEachTargetsBits) {
    Problem p = random_problem(3, 0, 13);
    std::mt19937_64 rng(14);
    std::normal_distribution<double> g(0.0, 1.0);
    for (double r = 0.5; r < 1e9; r *= 3.7) {
        const double d[3] = {g(rng), g(rng), g(rng)};
        const double n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        p.targets.x.push_back(r * d[0] / n), p.targets.y.push_back(r * d[1] / n), p.targets.z.push_back(r * d[2] / n);
    }
    const auto accurate = [&](const TargetPoints& targets, bool magnetization, bool h_field, std::uint32_t threads) {
        FieldOutput out(targets.size());
        run_direct(Vec3List(p.nodes), TetList(p.connectivity.data(), p.connectivity.size() / 4),
                   SourceVectors{magnetization, Vec3List(p.vectors)}, h_field, targets, out, false, threads, true);
        return out;
    };
    for (int variant = 0; variant < 4; ++variant) {
        const bool magnetization = variant & 1, h_field = variant & 2;
        SCOPED_TRACE(variant);
        const FieldOutput one = accurate(p.targets, magnetization, h_field, 1);
        for (const std::uint32_t threads : {2u, 3u}) {
            const FieldOutput many = accurate(p.targets, magnetization, h_field, threads);
            for (std::size_t i = 0; i < p.targets.size(); ++i) EXPECT_TRUE(testing::same_bits(many.fx[i], one.fx[i]));
        }
        for (std::size_t i = 0; i < p.targets.size(); ++i) {
            const TargetPoints alone{{p.targets.x[i]}, {p.targets.y[i]}, {p.targets.z[i]}};
            const FieldOutput single = accurate(alone, magnetization, h_field, 1);
            EXPECT_TRUE(testing::same_bits(single.fx[0], one.fx[i]) && testing::same_bits(single.fy[0], one.fy[i]) &&
                        testing::same_bits(single.fz[0], one.fz[i]))
                << i;
        }
    }
}

TEST(DirectDriver, FailuresSeenByEveryWorker) {
    Problem p = random_problem(5, 31, 12);
    EXPECT_EQ(failure_of(p, 4, 0), "a scoped thread panicked");  // one vector short
    p.connectivity[4 * 3 + 2] = static_cast<std::uint32_t>(p.nodes.size() / 3);
    for (const std::uint32_t threads : {0u, 1u, 2u}) EXPECT_EQ(failure_of(p, 5, threads), "a scoped thread panicked");
    p.targets = TargetPoints{};
    EXPECT_EQ(failure_of(p, 5, 0), "chunk size must be non-zero");
}

}  // namespace
}  // namespace corvane
