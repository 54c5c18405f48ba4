// The exception boundary every exported function goes through: core failures
// become PanicException, refused arguments ValueError, allocation failures
// MemoryError, and no C++ exception escapes into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "lib/failure.hpp"
#include "types/py_errors.hpp"

namespace corvane::py {

// Writes the report to standard error and sets PanicException(message).
void raise_panic(const char* message);

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
    } catch (const TypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const NotImplemented& e) {
        PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const Refusal& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Failure& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size past what a container can hold: an allocation that cannot be made.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal error");
    }
    return nullptr;
}

}  // namespace corvane::py
