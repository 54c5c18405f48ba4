// corvane._geometry: geometric queries of the corvane package.
// `point_locator` puts elements of a mesh in a grid of buckets, and
// `locate_points` tells which of them holds each point, and how far inside.
#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "mesh/point_location.hpp"
#include "python/arguments.hpp"
#include "python/package_boundary.hpp"
#include "types/numpy_api.hpp"
#include "types/py_errors.hpp"

namespace corvane::py {
namespace {

// A C-contiguous array of NumPy type `type` (safe casts only) with `columns`
// columns, or one dimension when columns is 0.
Ref contiguous(PyObject* value, int type, int columns, const char* name) {
    ensure_numpy();
    const int dims = columns ? 2 : 1;
    Ref array(PyArray_FROMANY(value, type, dims, dims, NPY_ARRAY_IN_ARRAY));
    if (!array) throw ErrorAlreadySet{};
    if (columns && PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 1) != columns) {
        throw TypeError(std::string(name) + " must have " + std::to_string(columns) + " columns");
    }
    return array;
}

template <class T>
std::span<const T> values(const Ref& array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    return {static_cast<const T*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a))};
}

constexpr char CAPSULE_NAME[] = "corvane.PointLocator";

constexpr const char* LOCATOR_PARAMS[] = {"nodes", "connectivity", "elements"};
constexpr Signature LOCATOR{"point_locator", LOCATOR_PARAMS};
constexpr const char* LOCATE_PARAMS[] = {"locator", "points"};
constexpr Signature LOCATE{"locate_points", LOCATE_PARAMS};

// point_locator(nodes (n, 3), connectivity (m, 4), elements (k,)) -> capsule
// holding the grid of the given elements (copied: later changes to the
// arrays do not reach it).
PyObject* point_locator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<3>(LOCATOR, args, nargs, kwnames);
        const Ref nodes = contiguous(a[0], NPY_FLOAT64, 3, "nodes");
        const Ref connectivity = contiguous(a[1], NPY_INT64, 4, "connectivity");
        const Ref elements = contiguous(a[2], NPY_INT64, 0, "elements");
        return package::owning_capsule<PointLocator, CAPSULE_NAME>(std::make_unique<PointLocator>(
            values<double>(nodes), values<std::int64_t>(connectivity), values<std::int64_t>(elements)));
    });
}

// locate_points(locator, points (p, 3)) -> ((p,) int64, (p,) float64): the
// element holding each point, or -1, and the point's smallest barycentric
// coordinate in it (NaN where there is none).
PyObject* locate_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<2>(LOCATE, args, nargs, kwnames);
        const PointLocator& locator = package::from_capsule<PointLocator, CAPSULE_NAME>(a[0]);
        const Ref points = contiguous(a[1], NPY_FLOAT64, 3, "points");
        npy_intp n_points = PyArray_DIM(reinterpret_cast<PyArrayObject*>(points.get()), 0);
        Ref found(checked(PyArray_SimpleNew(1, &n_points, NPY_INT64)));
        Ref margins(checked(PyArray_SimpleNew(1, &n_points, NPY_FLOAT64)));
        const auto n = static_cast<std::size_t>(n_points);
        locator.locate(values<double>(points),
                       {static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(found.get()))), n},
                       {static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(margins.get()))), n});
        return checked(PyTuple_Pack(2, found.get(), margins.get()));
    });
}

}  // namespace
}  // namespace corvane::py

PyMODINIT_FUNC PyInit__geometry(void) {
    static const std::array<corvane::py::package::Export, 2> exports{
        {{&corvane::py::LOCATOR, corvane::py::point_locator}, {&corvane::py::LOCATE, corvane::py::locate_points}}};
    return corvane::py::package::define_module("corvane._geometry", "Geometric queries of the corvane package.",
                                               exports);
}
