// Which tetrahedron holds each point: a uniform grid of buckets over the
// elements' bounding boxes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// Every element is listed in each grid cell its bounding box meets, so the
// candidates for a point are the elements listed in its cell; the point's
// barycentric coordinates (within 1e-12) decide among them.
class PointLocator {
public:
    // nodes: flat (x, y, z) triples; connectivity: four node indices per
    // element; elements: those to search, by index into connectivity.
    // Elements of zero or non-finite volume hold no point. Node or element
    // indices out of range are index failures.
    PointLocator(std::span<const double> nodes, std::span<const std::int64_t> connectivity,
                 std::span<const std::int64_t> elements);

    // found[i]: the element (index into connectivity) holding point i (flat
    // triples), or -1. A point on faces shared by several elements gets the
    // last of them in `elements`' order; non-finite points get -1. margins,
    // if not empty: the point's smallest barycentric coordinate in that
    // element (its distance from the nearest face in heights of the element:
    // about 0 on a face, an edge or a node), or NaN where found is -1.
    void locate(std::span<const double> points, std::span<std::int64_t> found,
                std::span<double> margins = {}) const;

private:
    std::int64_t cell_key(const double* point) const;

    // Per searched element: its first corner and the inverse of its edge
    // matrix (row-major), which map a point to barycentric coordinates 1..3.
    std::vector<double> origin_, inverse_;
    std::vector<std::int64_t> elements_;
    double low_[3] = {0.0, 0.0, 0.0}, cell_ = 1.0;
    std::int64_t shape_[3] = {0, 0, 0};
    // Cells with listed elements, sorted, and where each one's list starts in listed_.
    std::vector<std::int64_t> keys_, starts_;
    std::vector<std::int32_t> listed_;  // positions in elements_, ascending within a cell
};

}  // namespace corvane
