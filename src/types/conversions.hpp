// Conversion of Python arguments into the plain values of the core. Each
// failure carries the "argument '{name}': " prefix where the interpreter's
// own parser would put it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace corvane::py {

enum class DType { Float64, UInt32 };

// A NumPy array argument, borrowed from the caller for the call's duration.
struct ArrayArg {
    PyObject* object = nullptr;
    const char* name = "";
    DType dtype = DType::Float64;
    int ndim = 0;
    std::ptrdiff_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};  // in bytes
    const char* data = nullptr;
    int flags = 0;

    std::size_t rows() const { return static_cast<std::size_t>(shape[0]); }
    std::size_t cols() const { return ndim == 2 ? static_cast<std::size_t>(shape[1]) : 1; }
    std::size_t count() const { return rows() * cols(); }
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
