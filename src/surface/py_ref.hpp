// Ownership of Python object references.
//
// PyRef holds one strong reference and releases it when destroyed; it can be
// moved but not copied. A raw PyObject* in this code base is always borrowed.
// release() hands the reference over, and is used only where a new reference
// goes back to the interpreter.
#pragma once

#include <Python.h>

#include <utility>

namespace orvane {

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // A new strong reference to a borrowed object.
    static PyRef hold(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace orvane
