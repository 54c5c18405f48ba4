// Targets and outputs of a field evaluation as structures of arrays, and their
// split into matching contiguous chunks.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace corvane {

// Target points in metres: target i is (x[i], y[i], z[i]).
struct TargetPoints {
    std::vector<double> x, y, z;
    std::size_t size() const { return x.size(); }
};

// Field values per target, zeroed by the caller; evaluations only add to them.
struct FieldOutput {
    std::vector<double> fx, fy, fz;
    FieldOutput() = default;
    explicit FieldOutput(std::size_t n) : fx(n, 0.0), fy(n, 0.0), fz(n, 0.0) {}
};

// One contiguous range of targets (read-only) and the matching outputs.
struct ChunkPair {
    std::span<const double> x, y, z;
    std::span<double> fx, fy, fz;
};

// Splits targets and outputs into ceil(n / chunk_size) chunk pairs of
// chunk_size entries (the last one shorter). Fails on mismatched lengths
// and on a zero chunk size.
std::vector<ChunkPair> chunk_pairs(const TargetPoints& targets, FieldOutput& output, std::size_t chunk_size);

}  // namespace corvane
