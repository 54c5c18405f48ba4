// Readers that turn converted arrays into the core's plain records.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib/records.hpp"
#include "math/vec3.hpp"
#include "types/conversions.hpp"

namespace corvane::py {

// The elements of an array in row order: viewed in place when the array is
// row-major, copied in row order when it is column-major only.
template <class T>
struct FlatValues {
    std::span<const T> values;
    std::vector<T> storage;

    FlatValues() = default;
    FlatValues(const FlatValues&) = delete;
    FlatValues& operator=(const FlatValues&) = delete;
    FlatValues(FlatValues&&) = default;
    FlatValues& operator=(FlatValues&&) = default;
    std::size_t size() const { return values.size(); }
};

// Flat reads: an empty array gives no values and is not examined; otherwise
// the array must be contiguous (either order) and aligned, or the call fails
// with TypeError "The given array is not contiguous or is misaligned.".
FlatValues<double> read_flat_doubles(const ArrayArg& array);
FlatValues<std::uint32_t> read_flat_indices(const ArrayArg& array);

// A flat read as Vec3 (or four-index) records; the element count must be a
// multiple of 3 (4), an equality assertion otherwise.
struct FlatVec3 {
    FlatValues<double> flat;
    Vec3List list() const { return Vec3List(flat.values.data(), flat.size() / 3); }
};
struct FlatTets {
    FlatValues<std::uint32_t> flat;
    TetList list() const { return TetList(flat.values.data(), flat.size() / 4); }
};
FlatVec3 read_flat_vec3(const ArrayArg& array);
FlatTets read_flat_tets(const ArrayArg& array);

// Row walks through the strides of any layout, copying columns 0, 1, 2;
// fewer than three columns (with at least one row) is an internal failure
// "ndarray: index out of bounds".
TargetPoints read_target_columns(const ArrayArg& array);
std::vector<double> read_vec3_rows(const ArrayArg& array);  // flat (x, y, z) triples

}  // namespace corvane::py
