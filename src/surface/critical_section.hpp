// Holds the per-object locks of two objects for a scope.
//
// On the free-threaded interpreter another thread may resize a bytearray while
// a call reads or writes its storage; a critical section on the object keeps
// its size and storage fixed until the scope ends. On the standard interpreter
// the interpreter lock, held for the whole call, already does that, and the
// headers do not even define the section's layout. The
// Py_BEGIN_CRITICAL_SECTION2 macros cannot be used: a C++ exception leaving the
// block would skip the end and leave the objects locked.
//
// A critical section is suspended while its thread detaches from the
// interpreter, so nothing that may block or run Python code belongs inside.
#pragma once

#include <Python.h>

namespace orvane {

class CriticalSection2 {
public:
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;

#ifdef Py_GIL_DISABLED
    // `first` and `second` may be the same object.
    CriticalSection2(PyObject* first, PyObject* second) noexcept { PyCriticalSection2_Begin(&section_, first, second); }
    ~CriticalSection2() { PyCriticalSection2_End(&section_); }

private:
    PyCriticalSection2 section_;
#else
    CriticalSection2(PyObject*, PyObject*) noexcept {}
    ~CriticalSection2() = default;
#endif
};

}  // namespace orvane
