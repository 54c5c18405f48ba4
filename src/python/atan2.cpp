// atan2: the module's fast two-argument arctangent, element by element.
#include "math/atan2_array.hpp"
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/conversions.hpp"
#include "types/readers.hpp"
#include "types/results.hpp"

namespace corvane::py {

PyObject* atan2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<2>(ATAN2, args, nargs, kwnames);
        const ArrayArg yvals = to_float64_vector(a[0], "yvals");
        const ArrayArg xvals = to_float64_vector(a[1], "xvals");
        const FlatValues<double> y = read_flat_doubles(yvals);
        const FlatValues<double> x = read_flat_doubles(xvals);
        return array_from_buffer(atan2_array(y.values, x.values));
    });
}

}  // namespace corvane::py
