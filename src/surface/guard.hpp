// The guard around every entry: runs a body and turns its outcome into a
// return value or exactly one Python exception. Nothing of C++ crosses into
// the interpreter.
#pragma once

#include "core/errors.hpp"
#include "surface/python_error.hpp"
#include "surface/raise.hpp"

#include <Python.h>

#include <exception>
#include <new>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace orvane {

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
    } catch (const OsError& error) {
        raise_os_error(error);
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

// For an entry: the body returns a PyRef, handed to the interpreter.
template <class Body>
PyObject* guarded_call(Body&& body) {
    return guarded<PyObject*>(nullptr, [&] { return body().release(); });
}

}  // namespace orvane
