#include "mesh/point_location.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "lib/failure.hpp"

namespace corvane {
namespace {

constexpr double SLACK = 1e-12;
// Cells are about the size of a typical element and grow by this factor
// until each element is listed in at most about eight of them.
constexpr double GROWTH = 1.5;
constexpr std::size_t LISTINGS_PER_ELEMENT = 8, LISTINGS_SPARE = 64;
// Keys stay far below the int64 range.
constexpr double MAX_CELLS = 4.0e18;

// floor(value) as an integer clipped to [-1, limit]: no cast of a value out of range.
std::int64_t clipped_floor(double value, std::int64_t limit) {
    const double f = std::floor(value);
    if (!(f >= -1.0)) return -1;
    if (f >= static_cast<double>(limit)) return limit;
    return static_cast<std::int64_t>(f);
}

}  // namespace

PointLocator::PointLocator(std::span<const double> nodes, std::span<const std::int64_t> connectivity,
                           std::span<const std::int64_t> elements) {
    const std::size_t n_nodes = nodes.size() / 3, n_elements = connectivity.size() / 4;
    std::vector<double> box_low, box_high;
    std::vector<double> sizes;
    for (const std::int64_t e : elements) {
        check_index(static_cast<std::size_t>(e), n_elements);
        double corner[4][3];
        for (int k = 0; k < 4; ++k) {
            const auto node = static_cast<std::size_t>(connectivity[4 * static_cast<std::size_t>(e) + k]);
            check_index(node, n_nodes);
            for (int d = 0; d < 3; ++d) corner[k][d] = nodes[3 * node + d];
        }
        double edge[3][3];  // edge[k] = corner[k + 1] - corner[0]
        for (int k = 0; k < 3; ++k)
            for (int d = 0; d < 3; ++d) edge[k][d] = corner[k + 1][d] - corner[0][d];
        // Rows of the inverse of the matrix whose columns are the edges: the
        // cross products of the other two edges over the determinant.
        double rows[3][3];
        for (int k = 0; k < 3; ++k) {
            const double* a = edge[(k + 1) % 3];
            const double* b = edge[(k + 2) % 3];
            rows[k][0] = a[1] * b[2] - a[2] * b[1];
            rows[k][1] = a[2] * b[0] - a[0] * b[2];
            rows[k][2] = a[0] * b[1] - a[1] * b[0];
        }
        const double determinant = edge[0][0] * rows[0][0] + edge[0][1] * rows[0][1] + edge[0][2] * rows[0][2];
        if (!(determinant != 0.0) || !std::isfinite(determinant)) continue;
        elements_.push_back(e);
        for (int d = 0; d < 3; ++d) origin_.push_back(corner[0][d]);
        for (int k = 0; k < 3; ++k)
            for (int d = 0; d < 3; ++d) inverse_.push_back(rows[k][d] / determinant);
        double size = 0.0;
        for (int d = 0; d < 3; ++d) {
            double lo = corner[0][d], hi = corner[0][d];
            for (int k = 1; k < 4; ++k) lo = std::min(lo, corner[k][d]), hi = std::max(hi, corner[k][d]);
            box_low.push_back(lo);
            box_high.push_back(hi);
            size = std::max(size, hi - lo);
        }
        sizes.push_back(size);
    }
    const std::size_t m = elements_.size();
    if (m == 0) return;
    double high[3];
    for (int d = 0; d < 3; ++d) {
        low_[d] = std::numeric_limits<double>::infinity();
        high[d] = -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < m; ++i) {
            low_[d] = std::min(low_[d], box_low[3 * i + d]);
            high[d] = std::max(high[d], box_high[3 * i + d]);
        }
    }
    std::nth_element(sizes.begin(), sizes.begin() + m / 2, sizes.end());
    cell_ = std::max(sizes[m / 2], 1e-300);
    // Grow the cells until the grid's keys fit and the listings stay within bounds.
    std::vector<std::int64_t> first(3 * m), span(3 * m);
    for (;;) {
        double cells = 1.0;
        for (int d = 0; d < 3; ++d) cells *= std::floor((high[d] - low_[d]) / cell_) + 1.0;
        if (cells <= MAX_CELLS) {
            for (int d = 0; d < 3; ++d) shape_[d] = static_cast<std::int64_t>(std::floor((high[d] - low_[d]) / cell_)) + 1;
            double listings = 0.0;
            for (std::size_t i = 0; i < m; ++i) {
                double count = 1.0;
                for (int d = 0; d < 3; ++d) {
                    first[3 * i + d] = clipped_floor((box_low[3 * i + d] - low_[d]) / cell_, shape_[d] - 1);
                    const std::int64_t last = clipped_floor((box_high[3 * i + d] - low_[d]) / cell_, shape_[d] - 1);
                    span[3 * i + d] = last - first[3 * i + d] + 1;
                    count *= static_cast<double>(span[3 * i + d]);
                }
                listings += count;
            }
            if (listings <= static_cast<double>(LISTINGS_PER_ELEMENT * m + LISTINGS_SPARE)) break;
        }
        cell_ *= GROWTH;
    }
    std::vector<std::pair<std::int64_t, std::int32_t>> pairs;
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t* f = &first[3 * i];
        const std::int64_t* s = &span[3 * i];
        for (std::int64_t z = f[2]; z < f[2] + s[2]; ++z)
            for (std::int64_t y = f[1]; y < f[1] + s[1]; ++y)
                for (std::int64_t x = f[0]; x < f[0] + s[0]; ++x)
                    pairs.emplace_back(x + shape_[0] * (y + shape_[1] * z), static_cast<std::int32_t>(i));
    }
    std::sort(pairs.begin(), pairs.end());
    listed_.reserve(pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        if (k == 0 || pairs[k].first != pairs[k - 1].first) {
            keys_.push_back(pairs[k].first);
            starts_.push_back(static_cast<std::int64_t>(k));
        }
        listed_.push_back(pairs[k].second);
    }
    starts_.push_back(static_cast<std::int64_t>(pairs.size()));
}

std::int64_t PointLocator::cell_key(const double* point) const {
    std::int64_t index[3];
    for (int d = 0; d < 3; ++d) {
        if (!std::isfinite(point[d])) return -1;
        index[d] = clipped_floor((point[d] - low_[d]) / cell_, shape_[d]);
        if (index[d] < 0 || index[d] >= shape_[d]) return -1;
    }
    return index[0] + shape_[0] * (index[1] + shape_[1] * index[2]);
}

void PointLocator::locate(std::span<const double> points, std::span<std::int64_t> found,
                          std::span<double> margins) const {
    assert_equal(found.size(), points.size() / 3, "one slot per point");
    if (!margins.empty()) assert_equal(margins.size(), found.size(), "one margin per point");
    for (std::size_t p = 0; p < found.size(); ++p) {
        found[p] = -1;
        if (!margins.empty()) margins[p] = std::numeric_limits<double>::quiet_NaN();
        const double* point = &points[3 * p];
        const std::int64_t key = elements_.empty() ? -1 : cell_key(point);
        if (key < 0) continue;
        const auto at = std::lower_bound(keys_.begin(), keys_.end(), key);
        if (at == keys_.end() || *at != key) continue;
        const std::size_t cell = static_cast<std::size_t>(at - keys_.begin());
        for (auto k = starts_[cell]; k < starts_[cell + 1]; ++k) {
            const auto i = static_cast<std::size_t>(listed_[static_cast<std::size_t>(k)]);
            const double offset[3] = {point[0] - origin_[3 * i], point[1] - origin_[3 * i + 1],
                                      point[2] - origin_[3 * i + 2]};
            const double* inverse = &inverse_[9 * i];
            double sum = 0.0, smallest = std::numeric_limits<double>::infinity();
            bool inside = true;
            for (int r = 0; r < 3; ++r) {
                const double lambda = inverse[3 * r] * offset[0] + inverse[3 * r + 1] * offset[1] +
                                      inverse[3 * r + 2] * offset[2];
                inside = inside && lambda >= -SLACK;
                sum += lambda;
                smallest = std::min(smallest, lambda);
            }
            if (inside && sum <= 1.0 + SLACK) {
                found[p] = elements_[i];
                if (!margins.empty()) margins[p] = std::min(smallest, 1.0 - sum);
            }
        }
    }
}

}  // namespace corvane
