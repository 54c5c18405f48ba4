// The exception boundary of the corvane package's native modules: core
// failures become RuntimeError, refused arguments ValueError, allocation
// failures MemoryError, a cancelled run KeyboardInterrupt (unless a signal
// handler already raised), and no C++ exception escapes into the interpreter.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "lib/failure.hpp"
#include "lib/work_queue.hpp"
#include "python/arguments.hpp"
#include "types/py_errors.hpp"

namespace corvane::py::package {

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
    } catch (const Cancelled&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "");
    } catch (const TypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const Refusal& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    }
    return nullptr;
}

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// An exported function: its signature and its fast-call entry.
struct Export {
    const Signature* signature;
    Entry entry;
};

// A module's method table over `exports`, made once; each docstring carries
// the text signature that inspect reads.
template <std::size_t N>
PyMethodDef* method_table(const std::array<Export, N>& exports) {
    static std::array<std::string, N> docs;
    static std::array<PyMethodDef, N + 1> defs{};  // the last one all null: the sentinel
    for (std::size_t i = 0; i < N; ++i) {
        docs[i] = text_signature(*exports[i].signature);
        defs[i] = PyMethodDef{exports[i].signature->name,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exports[i].entry)),
                              METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()};
    }
    return defs.data();
}

// Native objects handed to Python in capsules named `Name` (a character
// array of static storage): the capsule owns the object and deletes it
// with itself.
template <class T, const char* Name>
Ref owning_capsule(std::unique_ptr<T> object) {
    Ref capsule(checked(PyCapsule_New(object.get(), Name, [](PyObject* c) {
        delete static_cast<T*>(PyCapsule_GetPointer(c, Name));
    })));
    object.release();
    return capsule;
}

// The object in a capsule made by owning_capsule<T, Name>; anything else
// raises the interpreter's ValueError.
template <class T, const char* Name>
T& from_capsule(PyObject* capsule) {
    auto* object = static_cast<T*>(PyCapsule_GetPointer(capsule, Name));
    if (!object) throw ErrorAlreadySet{};
    return *object;
}

// A module over `exports`, defined once (multi-phase initialisation, no slots).
template <std::size_t N>
PyObject* define_module(const char* name, const char* doc, const std::array<Export, N>& exports) {
    static PyModuleDef_Slot slots[] = {{0, nullptr}};
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, name, doc, 0, method_table(exports), slots,
                              nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def);
}

}  // namespace corvane::py::package
