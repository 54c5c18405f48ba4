// Result arrays: new NumPy arrays over module-owned buffers, kept alive by a
// PySliceContainer base object.
#pragma once

#include <cstdint>
#include <vector>

#include "types/py_errors.hpp"

namespace corvane::py {

// A one-dimensional float64 (uint32) array owning the buffer, without a copy.
Ref array_from_buffer(std::vector<double>&& buffer);
Ref array_from_buffer(std::vector<std::uint32_t>&& buffer);

// A row-major (rows, cols) view of `array` whose base is `array`; null with
// NumPy's error set when the reshape fails.
PyObject* reshape_rows(PyObject* array, std::size_t rows, std::size_t cols);

// Same, throwing ErrorAlreadySet when the reshape fails.
Ref reshaped(const Ref& array, std::size_t rows, std::size_t cols);

// Interleaves three component lists into a new (N, 3) float64 array.
Ref make_field_array(std::vector<double>&& fx, std::vector<double>&& fy, std::vector<double>&& fz);

}  // namespace corvane::py
