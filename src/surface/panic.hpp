// PanicException: the exception of an internal fault. It derives directly from
// BaseException so that `except Exception` lets it through.
#pragma once

#include <Python.h>

namespace orvane {

// The class, created on first use and kept for the life of the process
// (borrowed); nullptr with a Python exception set if it could not be created.
PyObject* panic_exception_type();

}  // namespace orvane
