#include "surface/raise.hpp"

#include "surface/format.hpp"
#include "surface/panic.hpp"
#include "surface/py_ref.hpp"

#include <cerrno>
#include <string_view>

namespace orvane {

void raise_value_error(const char* message) noexcept {
    if (PyRef text = PyRef::steal(PyUnicode_FromString(message))) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_panic(PyObject* message, std::source_location where) noexcept {
    std::string_view file = where.file_name();
    if (const auto src = file.rfind("src/"); src != std::string_view::npos) file.remove_prefix(src);
    PySys_FormatStderr("orvanecrypto: internal fault at %.*s:%u: %U\n", as_int(file.size()), file.data(),
                       static_cast<unsigned>(where.line()), message);
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) return;  // its creation failure is the exception
    PyErr_SetObject(panic_type, message);
}

void raise_internal_fault(const InternalFault& fault) noexcept {
    // A library's what() text need not be UTF-8; a bad byte must not hide the fault.
    if (PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(fault.message.data(),
                                                       static_cast<Py_ssize_t>(fault.message.size()), "replace")))
        raise_panic(text.get(), fault.where);
}

void raise_os_error(const OsError& error) noexcept {
#if defined(_WIN32)
    PyErr_SetFromWindowsErr(error.code);
#else
    errno = error.code;
    PyErr_SetFromErrno(PyExc_OSError);
#endif
}

}  // namespace orvane
