// Array readers: in-place views of contiguous arrays and strided row walks.
#include "types/readers.hpp"

#include <cstring>

#include "lib/failure.hpp"
#include "types/numpy_api.hpp"
#include "types/py_errors.hpp"

namespace corvane::py {
namespace {

template <class T>
T load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

template <class T>
FlatValues<T> read_flat(const ArrayArg& arg) {
    const ArrayView array = arg.view();
    FlatValues<T> out;
    const std::size_t count = array.count();
    if (count == 0) return out;
    const bool c_order = array.flags & NPY_ARRAY_C_CONTIGUOUS;
    const bool f_order = array.flags & NPY_ARRAY_F_CONTIGUOUS;
    if (!(c_order || f_order) || !(array.flags & NPY_ARRAY_ALIGNED) || !array.data)
        throw TypeError("The given array is not contiguous or is misaligned.");
    if (c_order) {
        out.values = std::span<const T>(reinterpret_cast<const T*>(array.data), count);
        return out;
    }
    // Column-major: read in row order, as callers lay out their records.
    out.storage.reserve(count);
    const auto rows = static_cast<std::ptrdiff_t>(array.rows());
    const auto cols = static_cast<std::ptrdiff_t>(array.cols());
    for (std::ptrdiff_t i = 0; i < rows; ++i)
        for (std::ptrdiff_t j = 0; j < cols; ++j)
            out.storage.push_back(load<T>(array.data + i * array.strides[0] + j * array.strides[1]));
    out.values = std::span<const T>(out.storage);
    return out;
}

// The row count of a matrix to be walked; fewer than three columns fail here,
// before anything is sized from the row count.
std::size_t walkable_rows(const ArrayView& array) {
    if (array.rows() > 0 && array.cols() < 3) fail("ndarray: index out of bounds");
    return array.rows();
}

// Calls emit(x, y, z) for each row of a matrix whose rows passed walkable_rows.
template <class Emit>
void walk_rows(const ArrayView& array, Emit&& emit) {
    for (std::size_t i = 0; i < array.rows(); ++i) {
        const char* row = array.data + static_cast<std::ptrdiff_t>(i) * array.strides[0];
        emit(load<double>(row), load<double>(row + array.strides[1]), load<double>(row + 2 * array.strides[1]));
    }
}

}  // namespace

FlatValues<double> read_flat_doubles(const ArrayArg& array) { return read_flat<double>(array); }
FlatValues<std::uint32_t> read_flat_indices(const ArrayArg& array) { return read_flat<std::uint32_t>(array); }

FlatVec3 read_flat_vec3(const ArrayArg& array) {
    FlatVec3 out{read_flat<double>(array)};
    assert_equal(out.flat.size() % 3, 0);
    return out;
}

FlatTets read_flat_tets(const ArrayArg& array) {
    FlatTets out{read_flat<std::uint32_t>(array)};
    assert_equal(out.flat.size() % 4, 0);
    return out;
}

TargetPoints read_target_columns(const ArrayArg& arg) {
    const ArrayView array = arg.view();
    const std::size_t rows = walkable_rows(array);
    TargetPoints targets;
    targets.x.reserve(rows);
    targets.y.reserve(rows);
    targets.z.reserve(rows);
    walk_rows(array, [&](double x, double y, double z) {
        targets.x.push_back(x);
        targets.y.push_back(y);
        targets.z.push_back(z);
    });
    return targets;
}

std::vector<double> read_vec3_rows(const ArrayArg& arg) {
    const ArrayView array = arg.view();
    std::vector<double> flat;
    flat.reserve(3 * walkable_rows(array));
    walk_rows(array, [&](double x, double y, double z) { push_vec3(flat, Vec3{x, y, z}); });
    return flat;
}

}  // namespace corvane::py
