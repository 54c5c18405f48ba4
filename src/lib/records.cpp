// Chunking of target and output lists for the worker threads.
#include "lib/records.hpp"

#include <algorithm>

#include "lib/failure.hpp"

namespace corvane {

std::vector<ChunkPair> chunk_pairs(const TargetPoints& targets, FieldOutput& output, std::size_t chunk_size) {
    const std::size_t n = targets.x.size();
    assert_equal(targets.y.size(), n, "length of `y` does not match");
    assert_equal(targets.z.size(), n, "length of `z` does not match");
    assert_equal(output.fx.size(), n, "length of `fx` does not match");
    assert_equal(output.fy.size(), n, "length of `fy` does not match");
    assert_equal(output.fz.size(), n, "length of `fz` does not match");
    if (chunk_size == 0) fail("chunk size must be non-zero");

    std::vector<ChunkPair> chunks;
    chunks.reserve(n / chunk_size + 1);
    for (std::size_t start = 0; start < n; start += chunk_size) {
        const std::size_t len = std::min(chunk_size, n - start);
        chunks.push_back(ChunkPair{
            std::span<const double>(targets.x).subspan(start, len),
            std::span<const double>(targets.y).subspan(start, len),
            std::span<const double>(targets.z).subspan(start, len),
            std::span<double>(output.fx).subspan(start, len),
            std::span<double>(output.fy).subspan(start, len),
            std::span<double>(output.fz).subspan(start, len),
        });
    }
    return chunks;
}

}  // namespace corvane
