// NumPy's array interface, imported on first use.
#pragma once

#include <Python.h>
#include <numpy/arrayobject.h>

namespace corvane::py {

// Makes the array interface available; throws a Failure
// "Failed to access NumPy array API capsule" when it cannot.
void ensure_numpy();

}  // namespace corvane::py
