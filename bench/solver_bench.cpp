// One solver iteration through the octree, phase by phase: tree build (once
// per solve), moment aggregation, evaluation at the centroids, relaxed update.
// Usage: solver_bench NODES CONN CHI ITERATIONS, where NODES holds float64
// (x, y, z) triples and CONN uint32 quadruples, raw; prints seconds per phase.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "magnetization/solver.hpp"
#include "mesh/geometry.hpp"
#include "octree/mod.hpp"

namespace {

template <class T>
std::vector<T> read_raw(const char* path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    std::vector<T> values(bytes / sizeof(T));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
    return values;
}

template <class F>
double seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvane;
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s NODES CONN CHI ITERATIONS\n", argv[0]);
        return 2;
    }
    const std::vector<double> node_values = read_raw<double>(argv[1]);
    const std::vector<std::uint32_t> conn_values = read_raw<std::uint32_t>(argv[2]);
    const double chi = std::atof(argv[3]);
    const int iterations = std::atoi(argv[4]);
    const Vec3List nodes(node_values);
    const TetList elements(conn_values.data(), conn_values.size() / 4);
    const std::size_t n = elements.size();

    std::vector<double> centroid_values(3 * n);
    tet_centroids(nodes, elements, centroid_values);
    TargetPoints centroids;
    for (std::size_t i = 0; i < n; ++i) {
        centroids.x.push_back(centroid_values[3 * i]);
        centroids.y.push_back(centroid_values[3 * i + 1]);
        centroids.z.push_back(centroid_values[3 * i + 2]);
    }
    std::vector<double> h_ext;
    for (std::size_t i = 0; i < n; ++i) push_vec3(h_ext, Vec3{300.0, -400.0, 1200.0});
    std::vector<double> m;
    for (std::size_t i = 0; i < n; ++i) push_vec3(m, Vec3List(h_ext)[i] * chi);

    const OctreeParams params = octree_params(0.5, 2, 16, 256, 0, true);
    Octree tree;
    const double build = seconds([&] { tree = build_octree(nodes, elements, std::nullopt, Vec3List(m), params); });
    std::printf("elements %zu\nbuild %.6f\n", n, build);
    FieldOutput h(n);
    for (int k = 0; k < iterations; ++k) {
        const double aggregate = seconds([&] { aggregate_moments(tree, SourceKind::Magnetization, Vec3List(m)); });
        const double evaluate = seconds([&] { run_octree(tree, centroids, h, true, true); });
        const double update =
            seconds([&] { relax_magnetization(m, h, Vec3List(h_ext), chi, 2.0 / (2.0 + chi)); });
        std::printf("aggregate %.6f\nevaluate %.6f\nupdate %.6f\n", aggregate, evaluate, update);
        for (auto* f : {&h.fx, &h.fy, &h.fz}) std::fill(f->begin(), f->end(), 0.0);
    }
    return 0;
}
