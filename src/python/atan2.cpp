// atan2: argument intake; the body is not built yet.
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/conversions.hpp"

namespace corvane::py {

PyObject* atan2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<2>(ATAN2, args, nargs, kwnames);
        to_float64_vector(a[0], "yvals");
        to_float64_vector(a[1], "xvals");
        throw NotImplemented("atan2 is not available yet");
    });
}

}  // namespace corvane::py
