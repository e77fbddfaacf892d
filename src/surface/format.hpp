// The precision argument of a `%.*s` in the C API's formatting functions
// (PyUnicode_FromFormat, PyErr_Format, PySys_FormatStderr), which is an int.
// The texts printed so are parameter names and source file paths, far shorter
// than INT_MAX.
#pragma once

#include <cstddef>

namespace orvane {

inline int as_int(std::size_t length) { return static_cast<int>(length); }

}  // namespace orvane
