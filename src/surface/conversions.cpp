#include "surface/conversions.hpp"

#include "core/errors.hpp"
#include "surface/format.hpp"
#include "surface/once.hpp"
#include "surface/panic.hpp"
#include "surface/python_error.hpp"
#include "surface/raise.hpp"

namespace orvane {

namespace {

InternedName add_note_name{"add_note"};

// Attaches "while processing '{name}'" to `exception`. A note that cannot be
// made or attached is dropped, and so is the error that prevented it.
void attach_argument_note(PyObject* exception, std::string_view name) {
    PyObject* add_note = add_note_name.get();
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%.*s'", as_int(name.size()), name.data()));
    if (add_note == nullptr || !note ||
        !PyRef::steal(PyObject_CallMethodOneArg(exception, add_note, note.get())))
        PyErr_Clear();
}

[[noreturn]] void raise_with_note(PyRef exception, std::string_view name) {
    attach_argument_note(exception.get(), name);
    PyErr_SetRaisedException(exception.release());
    throw PythonErrorSet{};
}

// An exception that a conversion took from the interpreter (an __index__ or a
// truth slot that raised). A PanicException passes through as an internal
// fault of this call instead of becoming a conversion failure; its message is
// its str() as an object, so text that is not valid UTF-8 (a lone surrogate)
// survives unchanged.
[[noreturn]] void conversion_failed(std::string_view name) {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) PyErr_Clear();
    if (panic_type != nullptr && Py_IS_TYPE(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        PySys_WriteStderr("orvanecrypto: a PanicException was raised while converting argument '%.*s':\n",
                          as_int(name.size()), name.data());
        PyErr_DisplayException(exception.get());
        PyRef text = PyRef::steal(PyObject_Str(exception.get()));
        if (!text) {
            PyErr_Clear();
            internal_fault("Unwrapped panic from Python code");
        }
        raise_panic(text.get(), std::source_location::current());
        throw PythonErrorSet{};
    }
    raise_with_note(std::move(exception), name);
}

[[noreturn]] void mismatch_failed(PyObject* argument, const char* target, std::string_view name) {
    PyRef error;
    try {
        error = type_mismatch(argument, target);
    } catch (const PythonErrorSet&) {
        conversion_failed(name);  // no memory for the message: that error is the failure
    }
    raise_with_note(std::move(error), name);
}

// A class body may set __module__ to any object, and the name lookups return
// it as it is: only str values are compared.
bool is_numpy_bool(PyTypeObject* type) {
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    PyRef type_name = module ? PyRef::steal(PyType_GetName(type)) : PyRef();
    if (!type_name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(type_name.get())) return false;
    return PyUnicode_EqualToUTF8(module.get(), "numpy") &&
           (PyUnicode_EqualToUTF8(type_name.get(), "bool_") || PyUnicode_EqualToUTF8(type_name.get(), "bool"));
}
}  // namespace

PyRef type_mismatch(PyObject* argument, const char* target) {
    PyRef message;
    if (argument == Py_None) {
        message = PyRef::steal(PyUnicode_FromFormat("'None' is not an instance of '%s'", target));
    } else {
        PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(argument)));
        if (!type_name) PyErr_Clear();
        if (type_name && !PyUnicode_Check(type_name.get())) type_name = PyRef();
        message = type_name ? PyRef::steal(PyUnicode_FromFormat("'%U' object is not an instance of '%s'",
                                                                type_name.get(), target))
                            : PyRef::steal(PyUnicode_FromFormat(
                                  "'<failed to extract type name>' object is not an instance of '%s'", target));
    }
    require(message.get());
    return PyRef::steal(require(PyObject_CallOneArg(PyExc_TypeError, message.get())));
}

ByteView as_byte_view(PyObject* argument, std::string_view name) {
    if (!PyType_HasFeature(Py_TYPE(argument), Py_TPFLAGS_BYTES_SUBCLASS)) mismatch_failed(argument, "bytes", name);
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(argument)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(argument))};
}

PyObject* as_bytearray(PyObject* argument, std::string_view name) {
    if (!PyByteArray_Check(argument)) mismatch_failed(argument, "bytearray", name);
    return argument;
}

std::int64_t as_int64(PyObject* argument, std::string_view name) {
    const long long value = PyLong_AsLongLong(argument);
    if (value == -1 && PyErr_Occurred()) conversion_failed(name);
    return value;
}

bool as_flag(PyObject* argument, std::string_view name) {
    if (Py_IS_TYPE(argument, &PyBool_Type)) return argument == Py_True;
    PyTypeObject* type = Py_TYPE(argument);
    if (!is_numpy_bool(type)) mismatch_failed(argument, "bool", name);
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
        PyErr_Clear();
        // str() of the type runs its metaclass's __str__, which may raise:
        // then that exception is the conversion failure.
        PyRef message = PyRef::steal(PyUnicode_FromFormat(
            "object of type '%S' does not define a '__bool__' conversion", reinterpret_cast<PyObject*>(type)));
        PyRef error = message ? PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : PyRef();
        if (!error) conversion_failed(name);
        raise_with_note(std::move(error), name);
    }
    const int value = truth(argument);
    if (value < 0) conversion_failed(name);
    return value != 0;
}

MutableBytes bytearray_storage(PyObject* bytearray) {
    return {reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray)),
            static_cast<std::size_t>(PyByteArray_GET_SIZE(bytearray))};
}

}  // namespace orvane
