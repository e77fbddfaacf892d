// How a body leaves early. Each outcome other than a result is a C++ exception;
// the module surface turns it into exactly one Python exception, and a native
// caller (the fuzz target) sees it as it is. An allocation that fails is
// std::bad_alloc.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace orvane {

// One of the bodies' own checks failed: ValueError with a fixed text.
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

// The operating system refused a request: OSError with its error number (on
// Windows, its system error code).
struct OsError {
    int code;
};

[[noreturn]] inline void fail(const char* value_error_text) { throw BodyError{value_error_text}; }

[[noreturn]] inline void internal_fault(std::string message,
                                        std::source_location where = std::source_location::current()) {
    throw InternalFault{std::move(message), where};
}

}  // namespace orvane
