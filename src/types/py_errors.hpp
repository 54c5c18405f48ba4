// Owned Python references and the C++ exceptions that carry Python errors
// through the boundary code to the one place that raises them.
#pragma once

#include <Python.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace corvane::py {

// The interpreter's error indicator is already set.
struct ErrorAlreadySet {};

// Raised in Python as the named built-in exception with the message.
struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct NotImplemented : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Owns one strong reference; releases it when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : obj_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// Takes ownership of a new reference; throws ErrorAlreadySet when it is null.
inline Ref checked(PyObject* owned) {
    if (!owned) throw ErrorAlreadySet{};
    return Ref(owned);
}

}  // namespace corvane::py
