// corvane._multigrid: the two-level solver of the magnetisation solve's
// preconditioner. `two_level_solver` copies the fine matrix, the maps to and
// from a coarse hierarchy and the hierarchy itself into a capsule; `solve`
// runs conjugate gradients preconditioned by its cycle, `cycle` one cycle.
// Both work on a copy of b without the interpreter lock.
#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "multigrid/two_level_solver.hpp"
#include "python/arguments.hpp"
#include "python/package_boundary.hpp"
#include "types/conversions.hpp"
#include "types/numpy_api.hpp"
#include "types/py_errors.hpp"
#include "types/results.hpp"

namespace corvane::py {
namespace {

constexpr char CAPSULE_NAME[] = "corvane.TwoLevelSolver";

const multigrid::TwoLevelSolver& from_capsule(PyObject* capsule) {
    return package::from_capsule<multigrid::TwoLevelSolver, CAPSULE_NAME>(capsule);
}

// A one-dimensional copy of an array-like as NumPy type `type` (safe casts only).
template <class T>
std::vector<T> vector_copy(PyObject* value, int type) {
    ensure_numpy();
    Ref array(PyArray_FROMANY(value, type, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!array) throw ErrorAlreadySet{};
    const auto* data = static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return std::vector<T>(data, data + PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get())));
}

// Item i of a sequence, a new reference.
Ref item(PyObject* sequence, Py_ssize_t i) { return checked(PySequence_GetItem(sequence, i)); }

// (rows, cols, indptr int64, indices int32, data float64) -> CsrMatrix
multigrid::CsrMatrix csr_matrix(PyObject* value, const char* name) {
    if (!PySequence_Check(value) || PySequence_Size(value) != 5) {
        throw TypeError(std::string(name) + " must be (rows, cols, indptr, indices, data)");
    }
    return multigrid::CsrMatrix(to_count(item(value, 0).get(), "rows"), to_count(item(value, 1).get(), "cols"),
                                vector_copy<std::int64_t>(item(value, 2).get(), NPY_INT64),
                                vector_copy<std::int32_t>(item(value, 3).get(), NPY_INT32),
                                vector_copy<double>(item(value, 4).get(), NPY_FLOAT64));
}

std::vector<multigrid::CsrMatrix> csr_matrices(PyObject* value, const char* name) {
    if (!PySequence_Check(value)) throw TypeError(std::string(name) + " must be a sequence of sparse matrices");
    const Py_ssize_t n = PySequence_Size(value);
    if (n < 0) throw ErrorAlreadySet{};
    std::vector<multigrid::CsrMatrix> matrices;
    for (Py_ssize_t i = 0; i < n; ++i) matrices.push_back(csr_matrix(item(value, i).get(), name));
    return matrices;
}

constexpr const char* SOLVER_PARAMS[] = {"fine",         "to_fine",          "to_coarse", "matrices", "prolongations",
                                         "restrictions", "coarsest_inverse", "colors",    "n_threads"};
constexpr Signature SOLVER{"two_level_solver", SOLVER_PARAMS};
constexpr const char* SOLVE_PARAMS[] = {"solver", "b", "rtol", "max_cycles"};
constexpr Signature SOLVE{"solve", SOLVE_PARAMS};
constexpr const char* CYCLE_PARAMS[] = {"solver", "b"};
constexpr Signature CYCLE{"cycle", CYCLE_PARAMS};
constexpr const char* BYTES_PARAMS[] = {"solver"};
constexpr Signature BYTES{"bytes_held", BYTES_PARAMS};

// two_level_solver(fine, to_fine, to_coarse, matrices, prolongations,
// restrictions, coarsest_inverse, colors, n_threads) -> capsule. Matrices as
// (rows, cols, indptr, indices, data); coarsest_inverse dense (k, k); colors
// the starts of the fine rows' colour classes, or empty. Structures, shapes or
// colours that do not fit raise RuntimeError naming the fault.
PyObject* two_level_solver(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<9>(SOLVER, args, nargs, kwnames);
        multigrid::Hierarchy hierarchy{csr_matrices(a[3], "matrices"), csr_matrices(a[4], "prolongations"),
                                       csr_matrices(a[5], "restrictions"), {}};
        ensure_numpy();
        Ref inverse(PyArray_FROMANY(a[6], NPY_FLOAT64, 2, 2, NPY_ARRAY_IN_ARRAY));
        if (!inverse) throw ErrorAlreadySet{};
        auto* array = reinterpret_cast<PyArrayObject*>(inverse.get());
        const auto* values = static_cast<const double*>(PyArray_DATA(array));
        hierarchy.coarsest_inverse.assign(values, values + PyArray_SIZE(array));
        auto solver = std::make_unique<multigrid::TwoLevelSolver>(
            csr_matrix(a[0], "fine"), csr_matrix(a[1], "to_fine"), csr_matrix(a[2], "to_coarse"), std::move(hierarchy),
            vector_copy<std::int64_t>(a[7], NPY_INT64), to_count(a[8], "n_threads"));
        return package::owning_capsule<multigrid::TwoLevelSolver, CAPSULE_NAME>(std::move(solver));
    });
}

std::vector<double> right_hand_side(PyObject* value, const multigrid::TwoLevelSolver& solver) {
    std::vector<double> b = vector_copy<double>(value, NPY_FLOAT64);
    if (b.size() != solver.size()) throw TypeError("b must have one value per unknown");
    return b;
}

// solve(solver, b, rtol, max_cycles) -> (x, cycles)
PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<4>(SOLVE, args, nargs, kwnames);
        const multigrid::TwoLevelSolver& solver = from_capsule(a[0]);
        const std::vector<double> b = right_hand_side(a[1], solver);
        const double rtol = to_real(a[2], "rtol");
        const std::uint32_t max_cycles = to_count(a[3], "max_cycles");
        std::vector<double> x(b.size());
        std::size_t cycles = 0;
        Py_BEGIN_ALLOW_THREADS
        cycles = solver.solve(b.data(), x.data(), rtol, max_cycles);
        Py_END_ALLOW_THREADS
        Ref array = array_from_buffer(std::move(x));
        return checked(Py_BuildValue("(On)", array.get(), static_cast<Py_ssize_t>(cycles)));
    });
}

// cycle(solver, b) -> x: one cycle from zero.
PyObject* cycle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<2>(CYCLE, args, nargs, kwnames);
        const multigrid::TwoLevelSolver& solver = from_capsule(a[0]);
        const std::vector<double> b = right_hand_side(a[1], solver);
        std::vector<double> x(b.size());
        Py_BEGIN_ALLOW_THREADS
        solver.cycle(b.data(), x.data());
        Py_END_ALLOW_THREADS
        return array_from_buffer(std::move(x));
    });
}

// bytes_held(solver) -> the bytes of its matrices.
PyObject* bytes_held(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<1>(BYTES, args, nargs, kwnames);
        return checked(PyLong_FromSize_t(from_capsule(a[0]).bytes()));
    });
}

}  // namespace
}  // namespace corvane::py

PyMODINIT_FUNC PyInit__multigrid(void) {
    static const std::array<corvane::py::package::Export, 4> exports{{{&corvane::py::SOLVER, corvane::py::two_level_solver},
                                                                      {&corvane::py::SOLVE, corvane::py::solve},
                                                                      {&corvane::py::CYCLE, corvane::py::cycle},
                                                                      {&corvane::py::BYTES, corvane::py::bytes_held}}};
    return corvane::py::package::define_module(
        "corvane._multigrid", "The two-level solver of the magnetisation solve's preconditioner.", exports);
}
