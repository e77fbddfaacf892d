// Argument matching on the fast-call vector: every parameter is required and
// may be passed by position or by keyword. Failures are the interpreter's own
// TypeErrors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace orvane {

// The longest parameter list of any module function; argument matching keeps
// its bookkeeping in arrays of this size.
inline constexpr std::size_t max_parameters = 8;

// Name and ordered parameter names of one function.
template <std::size_t N>
struct CallSignature {
    static_assert(N <= max_parameters, "raise max_parameters for a longer signature");
    const char* function = nullptr;
    std::array<std::string_view, N> parameters;
};

// Fills `slots` (borrowed from the vector) or throws PythonErrorSet with the
// interpreter-style TypeError.
void match_arguments_into(const char* function, const std::string_view* parameters, std::size_t count,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

template <std::size_t N>
std::array<PyObject*, N> match_arguments(const CallSignature<N>& signature, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    match_arguments_into(signature.function, signature.parameters.data(), N, args, PyVectorcall_NARGS(nargs),
                         kwnames, slots.data());
    return slots;
}

}  // namespace orvane
