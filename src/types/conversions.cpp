// Argument kinds: arrays, flags, reals and counts.
#include "types/conversions.hpp"

#include <string>

#include "types/numpy_api.hpp"
#include "types/py_errors.hpp"

namespace corvane::py {
namespace {

std::string prefixed(const char* name, const std::string& message) {
    return std::string("argument '") + name + "': " + message;
}

std::string type_qualname(PyObject* value) {
    Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    const char* text = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "object";
    }
    return text;
}

[[noreturn]] void fail_instance(PyObject* value, const char* name, const char* expected) {
    const std::string what = value == Py_None ? std::string("'None'") : "'" + type_qualname(value) + "' object";
    throw TypeError(prefixed(name, what + " is not an instance of '" + expected + "'"));
}

// Re-raises the pending TypeError with the argument prefix; other errors stay.
[[noreturn]] void rethrow_prefixed(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref type_ref(type), value_ref(value), traceback_ref(traceback);
    Ref text(value ? PyObject_Str(value) : nullptr);
    const char* message = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (!message) {
        PyErr_Clear();
        message = "";
    }
    throw TypeError(prefixed(name, message));
}

void check_array_kind(PyObject* value, const char* name, int ndim, DType dtype) {
    ensure_numpy();
    if (!PyArray_Check(value)) fail_instance(value, name, "ndarray");
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) != ndim) fail_instance(value, name, "ndarray");
    Ref expected(reinterpret_cast<PyObject*>(PyArray_DescrFromType(dtype == DType::Float64 ? NPY_FLOAT64 : NPY_UINT32)));
    if (!expected) throw ErrorAlreadySet{};
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected.get())))
        fail_instance(value, name, "ndarray");
}

ArrayArg to_array(PyObject* value, const char* name, int ndim, DType dtype) {
    check_array_kind(value, name, ndim, dtype);
    Py_INCREF(value);
    ArrayArg arg;
    arg.object = Ref(value);
    arg.name = name;
    arg.dtype = dtype;
    arg.ndim = ndim;
    return arg;
}

bool is_numpy_bool(PyObject* value) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Ref module(PyObject_GetAttrString(type, "__module__"));
    Ref type_name(PyObject_GetAttrString(type, "__name__"));
    if (!module || !type_name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(type_name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0);
}

}  // namespace

ArrayView ArrayArg::view() const {
    check_array_kind(object.get(), name, ndim, dtype);
    auto* array = reinterpret_cast<PyArrayObject*>(object.get());
    ArrayView v;
    v.ndim = ndim;
    for (int k = 0; k < ndim; ++k) {
        v.shape[k] = PyArray_DIMS(array)[k];
        v.strides[k] = PyArray_STRIDES(array)[k];
    }
    v.data = static_cast<const char*>(PyArray_DATA(array));
    v.flags = PyArray_FLAGS(array);
    return v;
}

ArrayArg to_float64_vector(PyObject* value, const char* name) { return to_array(value, name, 1, DType::Float64); }
ArrayArg to_float64_matrix(PyObject* value, const char* name) { return to_array(value, name, 2, DType::Float64); }
ArrayArg to_index_matrix(PyObject* value, const char* name) { return to_array(value, name, 2, DType::UInt32); }
ArrayArg to_index_vector(PyObject* value, const char* name) { return to_array(value, name, 1, DType::UInt32); }

bool to_flag(PyObject* value, const char* name) {
    if (PyBool_Check(value)) return value == Py_True;
    if (!is_numpy_bool(value)) fail_instance(value, name, "bool");
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(value), Py_nb_bool));
    if (!truth) {
        throw TypeError(prefixed(name, "object of type '" + type_qualname(value) +
                                           "' does not define a '__bool__' conversion"));
    }
    const int result = truth(value);
    if (result < 0) rethrow_prefixed(name);
    return result != 0;
}

double to_real(PyObject* value, const char* name) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) rethrow_prefixed(name);
    return result;
}

std::uint32_t to_count(PyObject* value, const char* name) {
    Ref index;
    PyObject* integer = value;
    if (!PyLong_Check(value)) {
        index = Ref(PyNumber_Index(value));
        if (!index) rethrow_prefixed(name);
        integer = index.get();
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer);
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_prefixed(name);
    if (result > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw ErrorAlreadySet{};
    }
    return static_cast<std::uint32_t>(result);
}

}  // namespace corvane::py
