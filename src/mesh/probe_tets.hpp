// Small regular probe tetrahedra straddling each boundary face.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// Four points (flat triples) and four consecutive point indices per face.
struct ProbeTets {
    std::vector<double> points;
    std::vector<std::uint32_t> indices;
};

// For face i (first node f of triple i of `faces`, centroid and unit normal
// at flat positions 3i .. 3i+2 of `centroids` and `normals`): a regular
// tetrahedron of edge 2h, h = |P_f - c| / 100, centred on the centroid with
// two points on each side of the face. Flat positions out of range are index
// failures, tested nodes, then centroids, then normals.
ProbeTets face_probe_tets(std::span<const double> nodes, std::span<const std::uint32_t> faces,
                          std::span<const double> centroids, std::span<const double> normals);

}  // namespace corvane
