// magnetization_solve: argument intake; the solver itself is not built yet.
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/conversions.hpp"

namespace corvane::py {

PyObject* magnetization_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<16>(MAGNETIZATION_SOLVE, args, nargs, kwnames);
        to_float64_matrix(a[0], "nodes");
        to_index_matrix(a[1], "connectivity");
        to_float64_matrix(a[2], "centroids");
        to_real(a[3], "chi");
        to_float64_matrix(a[4], "h_ext");
        to_flag(a[5], "element_integration");
        to_count(a[6], "n_threads_requested");
        to_real(a[7], "atol");
        to_count(a[8], "max_iterations");
        to_real(a[9], "under_relaxation_factor");
        to_flag(a[10], "use_octree");
        to_real(a[11], "theta");
        to_count(a[12], "multipole_order");
        to_count(a[13], "max_leaf_size");
        to_count(a[14], "batch_size");
        to_flag(a[15], "verbose");
        throw NotImplemented("magnetization_solve is not available yet");
    });
}

}  // namespace corvane::py
