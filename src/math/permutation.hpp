// Reordering of a Vec3 list by an index list (element vectors into octree order).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace corvane {

// `values` is a flat list of n (x, y, z) triples. Returns a copy in which
// entry i is values[order[i]] for i < len(order); later entries keep their
// value. An absent list passes through. An index >= n, or an order longer
// than n, fails with the core's index failure.
std::optional<std::vector<double>> apply_permutation(const std::optional<std::vector<double>>& values,
                                                     std::span<const std::size_t> order);

}  // namespace corvane
