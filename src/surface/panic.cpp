#include "surface/panic.hpp"

#include "surface/once.hpp"

namespace orvane {

namespace {

constexpr const char panic_doc[] =
    "Raised when the native code of orvanecrypto hits an internal fault, such as a\n"
    "range or index outside a buffer.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an\n"
    "`except Exception` clause does not catch it: it normally travels through the\n"
    "whole stack and ends the interpreter.";

ProcessOnce panic_type_cell;

}  // namespace

PyObject* panic_exception_type() {
    return panic_type_cell.get([] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
    });
}

}  // namespace orvane
