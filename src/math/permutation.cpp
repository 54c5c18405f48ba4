// Reordering of a Vec3 list by an index list.
#include "math/permutation.hpp"

#include "lib/failure.hpp"
#include "math/vec3.hpp"

namespace corvane {

std::optional<std::vector<double>> apply_permutation(const std::optional<std::vector<double>>& values,
                                                     std::span<const std::size_t> order) {
    if (!values) return std::nullopt;
    std::vector<double> result = *values;
    const Vec3List source(*values);
    const std::size_t n = source.size();
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Vec3 v = source.at(order[i]);
        check_index(i, n);
        result[3 * i] = v.x;
        result[3 * i + 1] = v.y;
        result[3 * i + 2] = v.z;
    }
    return result;
}

}  // namespace corvane
