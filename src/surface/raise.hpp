// Raising the outcomes of a call other than a result; each leaves exactly one
// Python exception set.
#pragma once

#include "core/errors.hpp"

#include <Python.h>

#include <source_location>

namespace orvane {

// Reports `message` (a str) and the place on standard error, then raises
// PanicException with it.
void raise_panic(PyObject* message, std::source_location where) noexcept;
void raise_internal_fault(const InternalFault& fault) noexcept;
void raise_value_error(const char* message) noexcept;
void raise_os_error(const OsError& error) noexcept;

}  // namespace orvane
