// Direct summation of the field of every element at every target, split over
// worker threads by contiguous target chunks.
#pragma once

#include <cstdint>

#include "lib/records.hpp"
#include "math/vec3.hpp"
#include "sources/kernel.hpp"

namespace corvane {

// The element vectors of a field request: magnetisations when `magnetization`
// is true, current densities otherwise, one per element in element order.
struct SourceVectors {
    bool magnetization = false;
    Vec3List vectors;
};

// Picks the kernel for a source kind, a requested field and a kernel family;
// `accurate` picks the accurate exact kernels (tet4.hpp) over the fast ones.
ElementKernel select_kernel(bool magnetization, bool h_field, bool point_kernels, bool accurate = false);

// Adds the field (H when h_field, otherwise A) of all elements at all targets
// to `output`, which must be zeroed and as long as the targets. Each target's
// sum runs over the elements in element order, whatever the thread count.
// `accurate` as for select_kernel; the accurate sum takes far elements as
// the point sources of a quadrature rule, where the integrals lose digits.
void run_direct(Vec3List nodes, TetList elements, const SourceVectors& sources, bool h_field,
                const TargetPoints& targets, FieldOutput& output, bool point_kernels,
                std::uint32_t n_threads_requested, bool accurate = false);

}  // namespace corvane
