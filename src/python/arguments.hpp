// Matching of fast-call arguments to a parameter list, with the messages of
// the interpreter's own argument parser.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>

namespace corvane::py {

// An exported function's name and parameters; every parameter is required
// and may be passed by position or keyword.
struct Signature {
    const char* name;
    std::span<const char* const> params;
};

// The docstring "name(p1, p2, ...)\n--\n\n" from which inspect reads the signature.
std::string text_signature(const Signature& signature);

// Fills values[i] (borrowed) for every parameter i or throws ErrorAlreadySet
// with the interpreter's TypeError set.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> values);

template <std::size_t N>
std::array<PyObject*, N> match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, N> values{};
    match_arguments(signature, args, nargs, kwnames, values);
    return values;
}

}  // namespace corvane::py
