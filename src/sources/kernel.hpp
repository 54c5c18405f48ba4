// The one signature shared by every source kernel.
#pragma once

#include <array>

#include "lib/records.hpp"
#include "math/vec3.hpp"

namespace corvane {

using ElementNodes = std::array<Vec3, 4>;

// Adds the field of one element (four nodes in connectivity order, one
// uniform vector) at every target of the chunk to the chunk's outputs.
// A target's contribution depends only on the element and that target.
using ElementKernel = void (*)(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);

// Output names used by the length checks of the kernels.
enum class OutputNames { VectorPotential, HField };

// Fails with "length of `y` does not match", ... "length of `hz` does not
// match" (or `ax`...`az`) for the first list whose length differs from x.
void check_chunk_lengths(const ChunkPair& chunk, OutputNames names);

}  // namespace corvane
