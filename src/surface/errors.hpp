// How a body leaves early. Each outcome other than a result is a C++ exception
// that the guarded frame (frame.hpp) turns into a Python exception; nothing of
// C++ ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <source_location>
#include <string>

namespace orvane {

// A Python exception is already set; the frame only has to return failure.
struct PythonErrorSet {};

// One of the bodies' own checks failed: ValueError with a fixed text. The
// text becomes a str only when the frame raises it.
struct BodyError {
    const char* message;
};

// A failed run-time check inside a body (a range or index outside a buffer, a
// copy between buffers of different lengths). Raised as PanicException after
// a report on standard error that names the place of the check.
struct InternalFault {
    std::string message;
    std::source_location where;
};

[[noreturn]] inline void fail(const char* value_error_text) { throw BodyError{value_error_text}; }

[[noreturn]] inline void internal_fault(std::string message,
                                        std::source_location where = std::source_location::current()) {
    throw InternalFault{std::move(message), where};
}

// Turns the NULL of a failed C API call into the pending Python exception.
inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw PythonErrorSet{};
    return result;
}

inline void require_status(int status) {
    if (status < 0) throw PythonErrorSet{};
}

}  // namespace orvane
