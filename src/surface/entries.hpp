// The fast-call entries of the seven module functions.
#pragma once

#include <Python.h>

namespace orvane {

using FastCallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* ige256_encrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ige256_decrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ctr256_encrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ctr256_decrypt_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kdf_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* pack_message_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unpack_message_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace orvane
