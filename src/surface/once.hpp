// A Python object created once per process and then only read.
//
// The first caller creates it under a PyMutex; PyMutex_Lock detaches the
// waiting thread from the interpreter, so a thread that finds creation under
// way lets the creating thread finish instead of deadlocking with it.
#pragma once

#include <Python.h>

#include <atomic>

namespace orvane {

class ProcessOnce {
public:
    // Returns the object (borrowed, immortal for the process), or nullptr with
    // a Python exception set if `create` failed; a later call tries again.
    template <class Create>
    PyObject* get(Create create) {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        PyMutex_Lock(&mutex_);
        PyObject* object = value_.load(std::memory_order_relaxed);
        if (object == nullptr) {
            object = create();
            if (object != nullptr) value_.store(object, std::memory_order_release);
        }
        PyMutex_Unlock(&mutex_);
        return object;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    PyMutex mutex_{};
};

// An interned str kept for the life of the process.
class InternedName {
public:
    explicit constexpr InternedName(const char* text) : text_(text) {}
    PyObject* get() {
        return once_.get([this] { return PyUnicode_InternFromString(text_); });
    }
    const char* text() const { return text_; }

private:
    const char* text_;
    ProcessOnce once_;
};

}  // namespace orvane
