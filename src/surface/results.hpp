// The objects a call returns: bytes whose storage a body fills in place, and
// the small objects built from plain values (the kdf pair).
//
// A result object that cannot be created is the interpreter's MemoryError for
// every function: running out of memory is no fault of the module's, and a
// PanicException would pass every `except Exception` of a client.
#pragma once

#include "core/output.hpp"
#include "message/kdf.hpp"
#include "surface/py_ref.hpp"

#include <Python.h>

namespace orvane {

// The output of a body as a new bytes object: allocate() creates it and hands
// out its storage; take() gives the filled object.
class BytesOutput final : public Output {
public:
    MutableBytes allocate(std::size_t size) override;
    PyRef take() { return std::move(object_); }

private:
    PyRef object_;
};

// kdf's result: the tuple (aes_key, aes_iv).
PyRef key_iv_pair(const KeyIv& derived);

}  // namespace orvane
