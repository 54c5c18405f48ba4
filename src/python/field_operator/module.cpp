// corvane._field_operator: the native field operator behind
// corvane.FieldOperator and the package's exact direct sums. `build` returns a
// capsule that owns the operator, `apply` maps element vectors to the field at
// its targets, `info` describes it, `direct` sums the accurate element
// integrals of every element at every target, `sheet_field` the closed-form
// field of charged triangles at points paired with them. Build and apply release the
// interpreter lock around the numerical work, on copies of their array
// arguments, and come back to it about every 0.1 s to run signal handlers
// (Ctrl-C) and the progress callback; direct releases it for the whole sum,
// sheet_field while it works on its copies, taking it back to run signal
// handlers.
#include <Python.h>

#include <array>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "biotsavart/direct.hpp"
#include "fmm/field_operator.hpp"
#include "lib/failure.hpp"
#include "lib/parallelism.hpp"
#include "lib/work_queue.hpp"
#include "mesh/coordinate_range.hpp"
#include "mesh/sheet_field.hpp"
#include "python/arguments.hpp"
#include "python/package_boundary.hpp"
#include "types/conversions.hpp"
#include "types/numpy_api.hpp"
#include "types/py_errors.hpp"
#include "types/readers.hpp"
#include "types/results.hpp"

namespace corvane::py {
namespace {

constexpr char CAPSULE_NAME[] = "corvane.FieldOperator";

// Releases the interpreter lock for its lifetime; poll() takes it back
// briefly to run signal handlers and the progress callback.
class WithoutLock {
public:
    explicit WithoutLock(PyObject* progress) : progress_(progress), state_(PyEval_SaveThread()) {}
    ~WithoutLock() { PyEval_RestoreThread(state_); }
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;

    // False (with the Python error set) when a handler or the callback raised.
    bool poll(double fraction) {
        PyEval_RestoreThread(state_);
        bool ok = PyErr_CheckSignals() == 0;
        if (ok && progress_ && progress_ != Py_None) {
            PyObject* result = PyObject_CallFunction(progress_, "d", fraction);
            ok = result != nullptr;
            Py_XDECREF(result);
        }
        state_ = PyEval_SaveThread();
        return ok;
    }

private:
    PyObject* progress_;
    PyThreadState* state_;
};

const fmm::FieldOperator* from_capsule(PyObject* capsule) {
    return &package::from_capsule<fmm::FieldOperator, CAPSULE_NAME>(capsule);
}

std::vector<double> copied(const FlatVec3& v) { return {v.flat.values.begin(), v.flat.values.end()}; }

constexpr const char* BUILD_PARAMS[] = {"nodes", "connectivity", "targets", "source", "field", "tolerance",
                                        "n_threads", "memory_limit", "progress"};
constexpr Signature BUILD{"build", BUILD_PARAMS};
constexpr const char* APPLY_PARAMS[] = {"operator", "vectors", "progress"};
constexpr Signature APPLY{"apply", APPLY_PARAMS};
constexpr const char* INFO_PARAMS[] = {"operator"};
constexpr Signature INFO{"info", INFO_PARAMS};
constexpr const char* DIRECT_PARAMS[] = {"nodes", "connectivity", "vectors", "source", "field", "targets",
                                         "n_threads"};
constexpr Signature DIRECT{"direct", DIRECT_PARAMS};
constexpr const char* SHEET_PARAMS[] = {"corners", "charges", "points", "n_threads"};
constexpr Signature SHEET{"sheet_field", SHEET_PARAMS};

// build(nodes (n, 3) float64, connectivity (m, 4) uint32, targets (t, 3)
// float64, source 0 current / 1 magnetisation, field 0 A / 1 H, tolerance,
// n_threads, memory_limit (bytes), progress callable or None) -> capsule
PyObject* build(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<9>(BUILD, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg tets_arg = to_index_matrix(a[1], "connectivity");
        const ArrayArg targets_arg = to_float64_matrix(a[2], "targets");
        fmm::OperatorSettings settings;
        settings.kind.source = to_count(a[3], "source") != 0 ? fmm::Source::Magnetization : fmm::Source::Current;
        settings.kind.field = to_count(a[4], "field") != 0 ? fmm::Field::H : fmm::Field::A;
        settings.tolerance = to_real(a[5], "tolerance");
        settings.n_threads = thread_count(to_count(a[6], "n_threads"));
        const double limit = to_real(a[7], "memory_limit");
        settings.memory_limit = limit > 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(limit > 0 ? limit : 0);
        PyObject* progress = a[8];

        const FlatVec3 nodes_view = read_flat_vec3(nodes_arg);
        const FlatTets tets_view = read_flat_tets(tets_arg);
        const std::vector<double> nodes = copied(nodes_view);
        const std::vector<std::uint32_t> tets(tets_view.flat.values.begin(), tets_view.flat.values.end());
        const TargetPoints t = read_target_columns(targets_arg);
        check_coordinates(Vec3List(nodes), "nodes");
        check_element_sizes(Vec3List(nodes), TetList(tets.data(), tets.size() / 4), "connectivity");
        check_coordinates(t, "targets");
        const fmm::Points targets{t.x, t.y, t.z};

        std::unique_ptr<fmm::FieldOperator> op;
        {
            WithoutLock unlocked(progress);
            op = std::make_unique<fmm::FieldOperator>(Vec3List(nodes), TetList(tets.data(), tets.size() / 4), targets,
                                                      settings, [&](double f) { return unlocked.poll(f); });
        }
        return package::owning_capsule<fmm::FieldOperator, CAPSULE_NAME>(std::move(op));
    });
}

// apply(operator, vectors (m, 3) float64, progress) -> (t, 3) float64
PyObject* apply(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<3>(APPLY, args, nargs, kwnames);
        const fmm::FieldOperator* op = from_capsule(a[0]);
        const ArrayArg vectors_arg = to_float64_matrix(a[1], "vectors");
        const FlatVec3 view = read_flat_vec3(vectors_arg);
        if (view.flat.size() != 3 * op->n_elements()) {
            throw TypeError("vectors must hold one row of three values per element");
        }
        const std::vector<double> vectors = copied(view);
        std::vector<double> out(3 * op->n_targets());
        {
            WithoutLock unlocked(a[2]);
            op->apply(vectors.data(), out.data(), [&](double f) { return unlocked.poll(f); });
        }
        return reshaped(array_from_buffer(std::move(out)), op->n_targets(), 3);
    });
}

PyObject* info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<1>(INFO, args, nargs, kwnames);
        const fmm::OperatorInfo& i = from_capsule(a[0])->info();
        return checked(Py_BuildValue(
            "{s:n,s:n,s:n,s:n,s:n,s:n,s:K,s:K,s:K,s:K,s:K,s:K,s:s,s:d}", "elements", Py_ssize_t(i.elements), "targets",
            Py_ssize_t(i.targets), "expansion_order", Py_ssize_t(i.order), "boxes", Py_ssize_t(i.boxes), "levels",
            Py_ssize_t(i.levels), "translations", Py_ssize_t(i.translations), "far_interactions",
            static_cast<unsigned long long>(i.far_interactions), "near_interactions",
            static_cast<unsigned long long>(i.near_interactions), "exact_pairs",
            static_cast<unsigned long long>(i.exact_pairs), "bytes_kept", static_cast<unsigned long long>(i.bytes),
            "near_bytes", static_cast<unsigned long long>(i.near_bytes),
            "apply_bytes", static_cast<unsigned long long>(i.apply_bytes),
            "near_field_kept",
            i.near_storage == fmm::NearStorage::All     ? "all"
            : i.near_storage == fmm::NearStorage::Exact ? "exact"
            : i.near_storage == fmm::NearStorage::None  ? "none"
                                                        : "mixed",
            "build_seconds", i.build_seconds));
    });
}

// direct(nodes (n, 3) float64, connectivity (m, 4) uint32, vectors (m, 3)
// float64, source 0 current / 1 magnetisation, field 0 A / 1 H, targets
// (t, 3) float64, n_threads) -> (t, 3) float64: the field by the accurate
// exact kernels summed over all elements, each target's sum in element order.
PyObject* direct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<7>(DIRECT, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg tets_arg = to_index_matrix(a[1], "connectivity");
        const ArrayArg vectors_arg = to_float64_matrix(a[2], "vectors");
        const bool magnetization = to_count(a[3], "source") != 0;
        const bool h_field = to_count(a[4], "field") != 0;
        const ArrayArg targets_arg = to_float64_matrix(a[5], "targets");
        const std::uint32_t n_threads = to_count(a[6], "n_threads");

        const FlatVec3 nodes = read_flat_vec3(nodes_arg);
        const FlatTets tets = read_flat_tets(tets_arg);
        const FlatVec3 vectors = read_flat_vec3(vectors_arg);
        if (vectors.flat.size() != 3 * tets.list().size()) {
            throw TypeError("vectors must hold one row of three values per element");
        }
        const TargetPoints targets = read_target_columns(targets_arg);
        check_coordinates(nodes.list(), "nodes");
        check_element_sizes(nodes.list(), tets.list(), "connectivity");
        check_coordinates(targets, "targets");
        FieldOutput output(targets.size());
        {
            WithoutLock unlocked(nullptr);
            run_direct(nodes.list(), tets.list(), SourceVectors{magnetization, vectors.list()}, h_field, targets,
                       output, false, n_threads, true);
        }
        return make_field_array(std::move(output.fx), std::move(output.fy), std::move(output.fz));
    });
}

// A row-major float64 copy of an array-like (cast safely) of `ndim`
// dimensions, its shape in `shape`.
std::vector<double> float64_copy(PyObject* value, int ndim, npy_intp* shape) {
    ensure_numpy();
    Ref array(PyArray_FROMANY(value, NPY_FLOAT64, ndim, ndim, NPY_ARRAY_IN_ARRAY));
    if (!array) throw ErrorAlreadySet{};
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    for (int k = 0; k < ndim; ++k) shape[k] = PyArray_DIMS(a)[k];
    const auto* data = static_cast<const double*>(PyArray_DATA(a));
    return std::vector<double>(data, data + PyArray_SIZE(a));
}

// sheet_field(corners (k, 3, 3), charges (k,), points (k, q, 3), n_threads)
// -> (k, q, 3) float64: H of triangle i, carrying charges[i] (A·m)
// uniformly, at the points of row i.
PyObject* sheet_field(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return package::guarded([&] {
        const auto a = match_arguments<4>(SHEET, args, nargs, kwnames);
        npy_intp corners_shape[3], charges_shape[1], points_shape[3];
        const std::vector<double> corners = float64_copy(a[0], 3, corners_shape);
        const std::vector<double> charges = float64_copy(a[1], 1, charges_shape);
        const std::vector<double> points = float64_copy(a[2], 3, points_shape);
        const std::size_t n_threads = thread_count(to_count(a[3], "n_threads"));
        if (corners_shape[1] != 3 || corners_shape[2] != 3 || points_shape[2] != 3) {
            throw TypeError("corners must have shape (k, 3, 3) and points (k, q, 3)");
        }
        if (corners_shape[0] != charges_shape[0] || points_shape[0] != charges_shape[0]) {
            throw TypeError("corners, charges and points must have one row per triangle");
        }
        std::vector<double> field;
        {
            WithoutLock unlocked(nullptr);
            field = corvane::sheet_field(corners, charges, points, static_cast<std::size_t>(points_shape[1]),
                                         n_threads, [&] { return unlocked.poll(0.0); });
        }
        Ref flat = array_from_buffer(std::move(field));
        return Ref(checked(PyObject_CallMethod(flat.get(), "reshape", "nnn", static_cast<Py_ssize_t>(points_shape[0]),
                                               static_cast<Py_ssize_t>(points_shape[1]), Py_ssize_t{3})));
    });
}

}  // namespace
}  // namespace corvane::py

PyMODINIT_FUNC PyInit__field_operator(void) {
    static const std::array<corvane::py::package::Export, 5> exports{{{&corvane::py::BUILD, corvane::py::build},
                                                                        {&corvane::py::APPLY, corvane::py::apply},
                                                                        {&corvane::py::INFO, corvane::py::info},
                                                                        {&corvane::py::DIRECT, corvane::py::direct},
                                                                        {&corvane::py::SHEET, corvane::py::sheet_field}}};
    return corvane::py::package::define_module("corvane._field_operator",
                                               "The native field operator of corvane.FieldOperator.", exports);
}
