// The PySliceContainer type and the creation of result arrays.
#include "types/results.hpp"

#include <utility>

#include "lib/failure.hpp"
#include "types/numpy_api.hpp"

namespace corvane::py {
namespace {

// Owner of a result buffer: its start, length, capacity and the routine that
// releases it when NumPy drops the array.
struct SliceContainer {
    PyObject_HEAD
    void* start;
    std::size_t length;
    std::size_t capacity;
    void (*release)(void* owner);
    void* owner;
};

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->release) container->release(container->owner);
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the buffer of an array returned by _corvane.")},
    {0, nullptr},  // sentinel
};

PyType_Spec slice_container_spec = {
    "_corvane.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

// Created on first use and kept for the life of the process.
PyTypeObject* slice_container_type() {
    static PyObject* type = nullptr;
    if (!type) type = checked(PyType_FromSpec(&slice_container_spec)).release();
    return reinterpret_cast<PyTypeObject*>(type);
}

template <class T>
void release_vector(void* owner) {
    delete static_cast<std::vector<T>*>(owner);
}

template <class T>
Ref wrap_buffer(std::vector<T>&& buffer, int typenum) {
    ensure_numpy();
    // NumPy allocates memory of its own for a null data pointer, so even an
    // empty result gets a real allocation.
    if (buffer.capacity() == 0) buffer.reserve(1);
    PyTypeObject* type = slice_container_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref container(checked(alloc(type, 0)));
    auto* owner = new std::vector<T>(std::move(buffer));
    auto* slice = reinterpret_cast<SliceContainer*>(container.get());
    slice->start = owner->data();
    slice->length = owner->size();
    slice->capacity = owner->capacity();
    slice->owner = owner;
    slice->release = release_vector<T>;

    npy_intp dims[1] = {static_cast<npy_intp>(owner->size())};
    Ref array(checked(PyArray_SimpleNewFromData(1, dims, typenum, owner->data())));
    // The array steals the container reference, also when this fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0)
        throw ErrorAlreadySet{};
    return array;
}

}  // namespace

Ref array_from_buffer(std::vector<double>&& buffer) { return wrap_buffer(std::move(buffer), NPY_FLOAT64); }
Ref array_from_buffer(std::vector<std::uint32_t>&& buffer) { return wrap_buffer(std::move(buffer), NPY_UINT32); }

PyObject* reshape_rows(PyObject* array, std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyArray_Dims shape = {dims, 2};
    return PyArray_Newshape(reinterpret_cast<PyArrayObject*>(array), &shape, NPY_CORDER);
}

Ref reshaped(const Ref& array, std::size_t rows, std::size_t cols) {
    return checked(reshape_rows(array.get(), rows, cols));
}

Ref make_field_array(std::vector<double>&& fx, std::vector<double>&& fy, std::vector<double>&& fz) {
    const std::size_t n = fx.size();
    assert_equal(fy.size(), n);
    assert_equal(fz.size(), n);
    std::vector<double> rows;
    rows.reserve(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        rows.push_back(fx[i]);
        rows.push_back(fy[i]);
        rows.push_back(fz[i]);
    }
    std::vector<double>().swap(fx);
    std::vector<double>().swap(fy);
    std::vector<double>().swap(fz);
    Ref flat = array_from_buffer(std::move(rows));
    PyObject* view = reshape_rows(flat.get(), n, 3);
    if (!view) {
        PyErr_Clear();
        fail("failed to reshape the field array to (N, 3)");
    }
    return Ref(view);
}

}  // namespace corvane::py
