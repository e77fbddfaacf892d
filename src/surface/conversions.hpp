// Conversions of matched arguments into plain values, in the contract's
// terms: each failure is raised with the note "while processing '{name}'".
#pragma once

#include "core/bytes.hpp"
#include "surface/py_ref.hpp"

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace orvane {

// A bytes object or an instance of a subclass, borrowed for the call.
ByteView as_byte_view(PyObject* argument, std::string_view name);
PyObject* as_bytearray(PyObject* argument, std::string_view name);
std::int64_t as_int64(PyObject* argument, std::string_view name);
// True or False, or a NumPy boolean through its truth slot.
bool as_flag(PyObject* argument, std::string_view name);

// The storage of a bytearray, for as long as its critical section is held.
MutableBytes bytearray_storage(PyObject* bytearray);

// "'{type}' object is not an instance of '{target}'" as a TypeError object.
PyRef type_mismatch(PyObject* argument, const char* target);

}  // namespace orvane
