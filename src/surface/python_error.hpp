// The one C++ exception of the Python layer: a Python exception is already
// set, and the guard (guard.hpp) only has to return failure.
#pragma once

#include <Python.h>

namespace orvane {

struct PythonErrorSet {};

// Turns the NULL of a failed C API call into the pending Python exception.
inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw PythonErrorSet{};
    return result;
}

inline void require_status(int status) {
    if (status < 0) throw PythonErrorSet{};
}

}  // namespace orvane
