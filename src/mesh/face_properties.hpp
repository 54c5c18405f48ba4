// Area, centroid and unit normal of every triangular face.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// Per face: area (m²), centroid and right-hand unit normal of (a, b, c), the
// last two as flat triples.
struct FaceProperties {
    std::vector<double> areas, centroids, normals;
};

// `nodes` holds node k at flat positions 3k .. 3k+2; `faces` is read in
// triples, a remainder ignored. A flat node position out of range is an index
// failure. A face of zero area gets area 0 and a NaN normal.
FaceProperties face_properties(std::span<const double> nodes, std::span<const std::uint32_t> faces);

}  // namespace corvane
