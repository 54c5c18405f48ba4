// Chunking, scoped threads, the direct driver's blocks and the point
// kernels' frame.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "biotsavart/direct.hpp"
#include "lib/failure.hpp"
#include "lib/parallelism.hpp"
#include "lib/thread_scope.hpp"
#include "sources/point/point.hpp"
#include "sources/tet4/tet4.hpp"

namespace corvane {
namespace {

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.what();
    }
    return "";
}

TargetPoints random_targets(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    TargetPoints t;
    for (std::size_t i = 0; i < n; ++i) {
        t.x.push_back(u(rng));
        t.y.push_back(u(rng));
        t.z.push_back(u(rng));
    }
    return t;
}

TEST(ChunkPairs, SplitsIntoContiguousChunks) {
    TargetPoints t = random_targets(10, 1);
    FieldOutput out(10);
    const auto chunks = chunk_pairs(t, out, ceil_div(10, 4));
    ASSERT_EQ(chunks.size(), 4u);
    const std::size_t expected[] = {3, 3, 3, 1};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(chunks[k].x.size(), expected[k]);
        EXPECT_EQ(chunks[k].fz.size(), expected[k]);
        EXPECT_EQ(chunks[k].x.data(), t.x.data() + 3 * k);
        EXPECT_EQ(chunks[k].fy.data(), out.fy.data() + 3 * k);
    }
    EXPECT_EQ(chunk_pairs(t, out, 20).size(), 1u);
}

TEST(ChunkPairs, RejectsZeroSizeAndMismatchedLengths) {
    TargetPoints t = random_targets(5, 2);
    FieldOutput out(5);
    EXPECT_EQ(failure_of([&] { chunk_pairs(t, out, 0); }), "chunk size must be non-zero");
    TargetPoints empty;
    FieldOutput none(0);
    EXPECT_EQ(failure_of([&] { chunk_pairs(empty, none, 0); }), "chunk size must be non-zero");
    out.fy.pop_back();
    EXPECT_EQ(failure_of([&] { chunk_pairs(t, out, 2); }), "length of `fy` does not match (left: 4, right: 5)");
    t.z.push_back(0.0);
    EXPECT_EQ(failure_of([&] { chunk_pairs(t, out, 2); }), "length of `z` does not match (left: 6, right: 5)");
}

TEST(ThreadScope, RunsEveryTaskAndPropagatesFailures) {
    std::atomic<int> sum{0};
    run_scoped(5, [&](std::size_t k) { sum += static_cast<int>(k) + 1; });
    EXPECT_EQ(sum.load(), 15);
    std::atomic<int> finished{0};
    EXPECT_EQ(failure_of([&] {
                  run_scoped(4, [&](std::size_t k) {
                      if (k == 1) fail("boom");
                      ++finished;
                  });
              }),
              "a scoped thread panicked");
    EXPECT_EQ(finished.load(), 3);  // the others ran to the end
    EXPECT_GE(available_parallelism(), 1u);
    EXPECT_EQ(thread_count(0), available_parallelism());
    EXPECT_EQ(thread_count(1), 1u);
    EXPECT_EQ(thread_count(1000000), available_parallelism());
}

TEST(ThreadScope, WorkersOutOfMemoryFailTheCallAsAnAllocation) {
    std::atomic<int> finished{0};
    EXPECT_THROW(run_scoped(3,
                            [&](std::size_t k) {
                                if (k != 0) throw std::bad_alloc();
                                ++finished;
                            }),
                 std::bad_alloc);
    EXPECT_EQ(finished.load(), 1);
    EXPECT_THROW(run_scoped(2, [](std::size_t) { std::vector<double>(std::size_t{1} << 62); }), std::bad_alloc);
    // Any other failure among them makes it an internal failure.
    EXPECT_EQ(failure_of([&] {
                  run_scoped(3, [&](std::size_t k) {
                      if (k == 0) throw std::bad_alloc();
                      if (k == 2) fail("boom");
                  });
              }),
              "a scoped thread panicked");
}

ElementNodes sample_element() {
    return {Vec3{0.1, -0.2, 0.3}, Vec3{1.3, 0.1, 0.2}, Vec3{0.2, 1.1, 0.4}, Vec3{0.3, 0.2, 1.5}};
}

const ElementKernel POINT_KERNELS[] = {point_a_from_m, point_h_from_m, point_a_from_j, point_h_from_j};

TEST(PointKernels, ResultDoesNotDependOnPositionInChunk) {
    const ElementNodes nodes = sample_element();
    const Vec3 v{0.7, -1.1, 2.3};
    for (ElementKernel kernel : POINT_KERNELS) {
        for (std::size_t n = 0; n <= 3 * 8 + 1; ++n) {
            TargetPoints t = random_targets(n, 7);
            if (n > 2) {  // one target inside the equivalent sphere
                t.x[2] = 0.45;
                t.y[2] = 0.3;
                t.z[2] = 0.6;
            }
            FieldOutput whole(n);
            if (n > 0) kernel(nodes, v, chunk_pairs(t, whole, n)[0]);
            for (std::size_t i = 0; i < n; ++i) {
                TargetPoints one;
                one.x = {t.x[i]};
                one.y = {t.y[i]};
                one.z = {t.z[i]};
                FieldOutput single(1);
                kernel(nodes, v, chunk_pairs(one, single, 1)[0]);
                EXPECT_EQ(std::memcmp(&single.fx[0], &whole.fx[i], sizeof(double)), 0) << n << " " << i;
                EXPECT_EQ(std::memcmp(&single.fy[0], &whole.fy[i], sizeof(double)), 0) << n << " " << i;
                EXPECT_EQ(std::memcmp(&single.fz[0], &whole.fz[i], sizeof(double)), 0) << n << " " << i;
            }
        }
    }
}

// The direct driver walks each chunk in blocks of targets; every target still
// sums the elements in element order, so the bits equal those of one kernel
// call per element over the whole list, on any thread count.
TEST(RunDirect, BlocksAndThreadsGiveTheBitsOfOneCallPerElement) {
    const std::size_t n = 2 * 4096 + 5;
    const TargetPoints t = random_targets(n, 9);
    std::vector<double> flat_nodes;
    std::vector<std::uint32_t> flat_tets;
    std::vector<double> flat_vectors;
    for (std::size_t e = 0; e < 3; ++e) {
        for (const Vec3& p : sample_element()) push_vec3(flat_nodes, p + Vec3{0.4 * e, -0.3 * e, 0.2 * e});
        for (std::uint32_t k = 0; k < 4; ++k) flat_tets.push_back(static_cast<std::uint32_t>(4 * e) + k);
        push_vec3(flat_vectors, Vec3{0.7 - e, -1.1, 2.3 + e});
    }
    const Vec3List nodes(flat_nodes), vectors(flat_vectors);
    const TetList tets(flat_tets.data(), 3);
    for (const bool point : {true, false}) {
        for (const bool magnetization : {true, false}) {
            for (const bool h_field : {true, false}) {
                const ElementKernel kernel = select_kernel(magnetization, h_field, point);
                FieldOutput expected(n);
                const ChunkPair whole = chunk_pairs(t, expected, n)[0];
                for (std::size_t e = 0; e < 3; ++e) {
                    const ElementNodes element{nodes[4 * e], nodes[4 * e + 1], nodes[4 * e + 2], nodes[4 * e + 3]};
                    kernel(element, vectors[e], whole);
                }
                for (const std::uint32_t threads : {1u, 2u}) {
                    FieldOutput out(n);
                    run_direct(nodes, tets, SourceVectors{magnetization, vectors}, h_field, t, out, point, threads);
                    EXPECT_EQ(std::memcmp(out.fx.data(), expected.fx.data(), n * sizeof(double)), 0);
                    EXPECT_EQ(std::memcmp(out.fy.data(), expected.fy.data(), n * sizeof(double)), 0);
                    EXPECT_EQ(std::memcmp(out.fz.data(), expected.fz.data(), n * sizeof(double)), 0);
                }
            }
        }
    }
}

TEST(PointKernels, CheckOutputLengthsByName) {
    TargetPoints t = random_targets(3, 3);
    FieldOutput out(3);
    ChunkPair chunk = chunk_pairs(t, out, 3)[0];
    chunk.fz = chunk.fz.first(2);
    EXPECT_EQ(failure_of([&] { point_h_from_m(sample_element(), Vec3{1, 0, 0}, chunk); }),
              "length of `hz` does not match (left: 2, right: 3)");
    EXPECT_EQ(failure_of([&] { point_a_from_j(sample_element(), Vec3{1, 0, 0}, chunk); }),
              "length of `az` does not match (left: 2, right: 3)");
    chunk.y = chunk.y.first(1);
    EXPECT_EQ(failure_of([&] { point_a_from_m(sample_element(), Vec3{1, 0, 0}, chunk); }),
              "length of `y` does not match (left: 1, right: 3)");
}

}  // namespace
}  // namespace corvane
