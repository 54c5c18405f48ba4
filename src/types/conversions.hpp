// Conversion of Python arguments into the plain values of the core. Each
// failure carries the "argument '{name}': " prefix where the interpreter's
// own parser would put it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "types/py_errors.hpp"

namespace corvane::py {

enum class DType { Float64, UInt32 };

// The layout of an array argument as it is at the moment it is read.
struct ArrayView {
    int ndim = 0;
    std::ptrdiff_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};  // in bytes
    const char* data = nullptr;
    int flags = 0;

    std::size_t rows() const { return static_cast<std::size_t>(shape[0]); }
    std::size_t cols() const { return ndim == 2 ? static_cast<std::size_t>(shape[1]) : 1; }
    std::size_t count() const { return rows() * cols(); }
};

// A NumPy array argument, held by a strong reference for the call's duration
// so that user code run by later conversions cannot resize or free it.
// Its data pointer, shape and strides are taken only when it is read, after
// every argument has been converted: view() checks the kind again (an array
// whose dtype or shape was changed in place meanwhile fails as it would have
// at conversion) and returns the layout of that moment.
struct ArrayArg {
    Ref object;
    const char* name = "";
    DType dtype = DType::Float64;
    int ndim = 0;

    ArrayView view() const;
    std::size_t rows() const { return view().rows(); }
};

// Array kinds: exactly the dimension count, dtype equivalent to float64 or
// uint32; nothing is cast or copied.
ArrayArg to_float64_vector(PyObject* value, const char* name);
ArrayArg to_float64_matrix(PyObject* value, const char* name);
ArrayArg to_index_matrix(PyObject* value, const char* name);
ArrayArg to_index_vector(PyObject* value, const char* name);

// Exactly a bool or a NumPy boolean scalar.
bool to_flag(PyObject* value, const char* name);
// Anything with a float conversion.
double to_real(PyObject* value, const char* name);
// An integer index in 0 ..= 4294967295.
std::uint32_t to_count(PyObject* value, const char* name);

}  // namespace corvane::py
