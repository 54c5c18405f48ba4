// PanicException: created on first use, derived directly from BaseException
// so that `except Exception` does not swallow an internal failure.
#include "python/boundary.hpp"

#include <cstdio>

namespace corvane::py {
namespace {

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "_corvane.PanicException",
            "An internal failure of the numerical core: a violated condition stopped the computation.\n"
            "Derived from BaseException; the argument is the failure's message.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void raise_panic(const char* message) {
    std::fprintf(stderr, "corvane: internal failure: %s\n", message);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (!type) return;  // the error of the type's creation stays set
    Ref text(PyUnicode_FromString(message));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace corvane::py
