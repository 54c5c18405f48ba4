// Lazy import of NumPy's `_ARRAY_API` capsule. The module is compiled against
// NumPy 2 headers and targets the 1.23 feature level, so the capsule comes
// from numpy._core.multiarray on NumPy 2 and numpy.core.multiarray on 1.x.
#undef NO_IMPORT_ARRAY
#include "types/numpy_api.hpp"

#include "lib/failure.hpp"
#include "types/py_errors.hpp"

namespace corvane::py {
namespace {

// Returns the capsule's table, or null with the error indicator possibly set.
void** load_array_api() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib(version ? PyImport_ImportModule("numpy.lib") : nullptr);
    Ref version_class(lib ? PyObject_GetAttrString(lib.get(), "NumpyVersion") : nullptr);
    Ref parsed(version_class ? PyObject_CallFunctionObjArgs(version_class.get(), version.get(), nullptr) : nullptr);
    Ref major_obj(parsed ? PyObject_GetAttrString(parsed.get(), "major") : nullptr);
    if (!major_obj) return nullptr;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;

    Ref multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    Ref capsule(multiarray ? PyObject_GetAttrString(multiarray.get(), "_ARRAY_API") : nullptr);
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return nullptr;
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
}

}  // namespace

void ensure_numpy() {
    if (PyArray_API) return;
    void** api = load_array_api();
    if (!api) {
        PyErr_Clear();
        fail("Failed to access NumPy array API capsule");
    }
    PyArray_API = api;
    // The running NumPy must offer at least the ABI and features compiled for.
    const unsigned abi = PyArray_GetNDArrayCVersion();
    const unsigned features = PyArray_GetNDArrayCFeatureVersion();
    if (NPY_VERSION < abi || features < NPY_FEATURE_VERSION) {
        PyArray_API = nullptr;
        fail("Failed to access NumPy array API capsule");
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(features);
}

}  // namespace corvane::py
