// The objects a call returns: bytes whose storage a body fills in place, and
// the small objects built from plain values (the kdf pair).
#pragma once

#include "core/output.hpp"
#include "message/kdf.hpp"
#include "surface/py_ref.hpp"

#include <Python.h>

#include <source_location>

namespace orvane {

// The output of a body as a new bytes object: allocate() creates it (running
// out of memory raises MemoryError) and hands out its storage; take() gives
// the filled object.
class BytesOutput final : public Output {
public:
    MutableBytes allocate(std::size_t size) override;
    PyRef take() { return std::move(object_); }

private:
    PyRef object_;
};

// An interpreter object made as a result (a tuple or a small bytes object);
// NULL becomes the internal fault "PyObject pointer is null".
PyRef result_object(PyObject* created, std::source_location where = std::source_location::current());

// kdf's result: the tuple (aes_key, aes_iv).
PyRef key_iv_pair(const KeyIv& derived);

}  // namespace orvane
