#include "surface/results.hpp"

#include "surface/python_error.hpp"

namespace orvane {

namespace {

PyRef bytes_of(const std::array<std::uint8_t, 32>& value) {
    return PyRef::steal(require(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data()), static_cast<Py_ssize_t>(value.size()))));
}

}  // namespace

MutableBytes BytesOutput::allocate(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw PythonErrorSet{};
    }
    object_ = PyRef::steal(require(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object_.get())), size};
}

PyRef key_iv_pair(const KeyIv& derived) {
    PyRef aes_key = bytes_of(derived.aes_key);
    PyRef aes_iv = bytes_of(derived.aes_iv);
    PyRef pair = PyRef::steal(require(PyTuple_New(2)));
    PyTuple_SET_ITEM(pair.get(), 0, aes_key.release());
    PyTuple_SET_ITEM(pair.get(), 1, aes_iv.release());
    return pair;
}

}  // namespace orvane
