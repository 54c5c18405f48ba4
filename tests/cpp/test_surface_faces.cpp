// Tests of the boundary search on meshes large and scattered enough that the
// streaming face map gives way to partitions, against a plain sort-based
// reference of the same rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "mesh/surface_faces.hpp"

namespace corvane {
namespace {

// Faces occurring an odd number of times, each at its last occurrence, in
// the order of those positions.
std::vector<std::uint32_t> reference(const std::vector<std::uint32_t>& flat) {
    const TetList elements(flat.data(), flat.size() / 4);
    std::vector<std::pair<std::array<std::uint32_t, 3>, std::size_t>> keyed;
    for (std::size_t p = 0; p < 4 * elements.size(); ++p) {
        std::array<std::uint32_t, 3> key = element_face(elements[p / 4], p % 4);
        std::sort(key.begin(), key.end());
        keyed.emplace_back(key, p);
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::size_t> last;
    for (std::size_t i = 0; i < keyed.size();) {
        std::size_t j = i;
        while (j < keyed.size() && keyed[j].first == keyed[i].first) ++j;
        if ((j - i) % 2 == 1) last.push_back(keyed[j - 1].second);
        i = j;
    }
    std::sort(last.begin(), last.end());
    std::vector<std::uint32_t> faces;
    for (const std::size_t p : last) {
        const auto face = element_face(elements[p / 4], p % 4);
        faces.insert(faces.end(), face.begin(), face.end());
    }
    return faces;
}

// The cube [0, n]^3 cut into six positively oriented tetrahedra per cell.
std::vector<std::uint32_t> box(std::uint32_t n) {
    static constexpr int KUHN[6][4] = {{0, 1, 3, 7}, {0, 3, 2, 7}, {0, 2, 6, 7},
                                       {0, 6, 4, 7}, {0, 4, 5, 7}, {0, 5, 1, 7}};
    std::vector<std::uint32_t> flat;
    for (std::uint32_t k = 0; k < n; ++k) {
        for (std::uint32_t j = 0; j < n; ++j) {
            for (std::uint32_t i = 0; i < n; ++i) {
                std::uint32_t corner[8];
                for (std::uint32_t q = 0; q < 8; ++q) {
                    corner[q] = (i + (q & 1)) + (n + 1) * ((j + ((q >> 1) & 1)) + (n + 1) * (k + (q >> 2)));
                }
                for (const auto& t : KUHN) {
                    for (const int c : t) flat.push_back(corner[c]);
                }
            }
        }
    }
    return flat;
}

std::vector<std::uint32_t> shuffled(const std::vector<std::uint32_t>& flat, unsigned seed) {
    std::vector<std::size_t> order(flat.size() / 4);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(seed));
    std::vector<std::uint32_t> out;
    for (const std::size_t e : order) out.insert(out.end(), flat.begin() + 4 * e, flat.begin() + 4 * e + 4);
    return out;
}

std::vector<std::uint32_t> faces_of(const std::vector<std::uint32_t>& flat) {
    return surface_faces(TetList(flat.data(), flat.size() / 4));
}

TEST(SurfaceFaces, ShuffledBoxMatchesReference) {
    const std::vector<std::uint32_t> natural = box(30), scattered = shuffled(natural, 3);
    const std::vector<std::uint32_t> faces = faces_of(scattered);
    EXPECT_EQ(faces.size(), 3u * 2 * 6 * 30 * 30);
    EXPECT_EQ(faces, reference(scattered));
    EXPECT_EQ(faces_of(natural), reference(natural));
}

// Faces that occur once, twice, three times (in either orientation), spread
// over the whole list, so that repeats straddle the change from the
// streaming map to the partitions and fall into one partition.
TEST(SurfaceFaces, RepeatsAcrossPartitionsMatchReference) {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<std::uint32_t> node(0, 400000);
    std::vector<std::uint32_t> flat;
    for (std::size_t e = 0; e < 60000; ++e) {
        for (int k = 0; k < 4; ++k) flat.push_back(node(rng));
    }
    std::uniform_int_distribution<std::size_t> pick(0, 59999);
    for (std::size_t r = 0; r < 30000; ++r) {
        const std::size_t e = pick(rng);
        std::array<std::uint32_t, 4> k{flat[4 * e], flat[4 * e + 1], flat[4 * e + 2], flat[4 * e + 3]};
        if (r % 2) std::swap(k[0], k[1]);
        flat.insert(flat.end(), k.begin(), k.end());
        if (r % 7 == 0) flat.insert(flat.end(), k.begin(), k.end());
    }
    const std::vector<std::uint32_t> mixed = shuffled(flat, 5);
    EXPECT_EQ(faces_of(mixed), reference(mixed));
    EXPECT_EQ(faces_of(flat), reference(flat));
}

}  // namespace
}  // namespace corvane
