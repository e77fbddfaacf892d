// The call frame shared by all module functions: argument matching on the
// fast-call vector, the conversions of each argument kind, and the guard that
// turns a body's outcome into a return value or exactly one Python exception.
//
// An entry matches, converts in parameter order, then hands plain values to
// its body (the parse / impl split); see entries.cpp.
#pragma once

#include "surface/checked.hpp"
#include "surface/errors.hpp"
#include "surface/py_ref.hpp"

#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace orvane {

// The longest parameter list of any module function; argument matching keeps
// its bookkeeping in arrays of this size.
inline constexpr std::size_t max_parameters = 8;

// Name and ordered parameter names of one function. Every parameter is
// required and may be passed by position or by keyword.
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

// Conversions. Each failure is raised with the note "while processing '{name}'".
ByteView as_byte_view(PyObject* argument, std::string_view name);
PyObject* as_bytearray(PyObject* argument, std::string_view name);
std::int64_t as_int64(PyObject* argument, std::string_view name);
bool as_flag(PyObject* argument, std::string_view name);

// "'{type}' object is not an instance of '{target}'" as a TypeError object.
PyRef type_mismatch(PyObject* argument, const char* target);

// A new bytes object of `size` bytes whose storage the body fills before it is
// returned. Running out of memory raises MemoryError.
class ResultBytes {
public:
    explicit ResultBytes(std::size_t size);
    MutableBytes bytes() const {
        return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object_.get())), size_};
    }
    PyRef take() { return std::move(object_); }

private:
    PyRef object_;
    std::size_t size_;
};

// An interpreter object made as a result (a tuple or a small bytes object);
// NULL becomes the internal fault "PyObject pointer is null".
PyRef result_object(PyObject* created, std::source_location where = std::source_location::current());

// Raising the frame's outcomes; each leaves exactly one exception set.
// raise_panic reports `message` (a str) and the place on standard error, then
// raises PanicException with it.
void raise_panic(PyObject* message, std::source_location where) noexcept;
void raise_internal_fault(const InternalFault& fault) noexcept;
void raise_value_error(const char* message) noexcept;

// Runs `body` and returns its result, or `failure` with one Python exception
// set. Key schedules and buffers owned by the body are released by unwinding
// before the exception is raised.
//
// Not noexcept: the forced unwind of a cancelled or exiting thread
// (pthread_cancel, pthread_exit) is not an error of the call and must run on
// to the thread's start, or the C library aborts the process.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) {
    try {
        return body();
    } catch (const PythonErrorSet&) {
    } catch (const BodyError& error) {
        raise_value_error(error.message);
    } catch (const InternalFault& fault) {
        raise_internal_fault(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_fault(InternalFault{error.what(), std::source_location::current()});
    }
#if !defined(_LIBCPP_VERSION)
    catch (...) {
#if defined(__GLIBCXX__)
        // A forced unwind is no C++ exception and has no type; catching it by
        // abi::__forced_unwind would bind a reference to no object.
        if (abi::__cxa_current_exception_type() == nullptr) throw;
#endif
        raise_internal_fault(InternalFault{"unknown C++ exception", std::source_location::current()});
    }
#endif
    // With libc++ (the release wheels) there is no catch-all: libc++abi enters
    // it for the forced unwind, which comes from the system's unwinder and is
    // foreign to it, and its rethrow starts a new search that finds no
    // handler and terminates the process. Only the types above are caught, and
    // nothing in a body throws any other.
    return failure;
}

template <class Body>
PyObject* guarded_call(Body&& body) {
    return guarded<PyObject*>(nullptr, [&] { return body().release(); });
}

}  // namespace orvane
