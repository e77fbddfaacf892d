// The module definition, its function records and its execution step.
// Multi-phase initialisation: PyInit only hands over the definition; the
// interpreter creates the module object and runs module_exec on it.
#include "surface/conversions.hpp"
#include "surface/entries.hpp"
#include "surface/guard.hpp"
#include "surface/interpreter_abi.hpp"
#include "surface/once.hpp"

#include <string>

namespace orvane {

namespace {

constexpr int fast_call_flags = METH_FASTCALL | METH_STATIC | METH_KEYWORDS;

PyCFunction as_method(FastCallEntry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// In registration order. The doc field is only the text signature, so each
// function's __doc__ is None and its __text_signature__ the parameter list.
PyMethodDef module_functions[] = {
    {"ige256_encrypt", as_method(ige256_encrypt_entry), fast_call_flags, "ige256_encrypt(data, key, iv)\n--\n\n"},
    {"ige256_decrypt", as_method(ige256_decrypt_entry), fast_call_flags, "ige256_decrypt(data, key, iv)\n--\n\n"},
    {"ctr256_encrypt", as_method(ctr256_encrypt_entry), fast_call_flags,
     "ctr256_encrypt(data, key, iv, state)\n--\n\n"},
    {"ctr256_decrypt", as_method(ctr256_decrypt_entry), fast_call_flags,
     "ctr256_decrypt(data, key, iv, state)\n--\n\n"},
    {"kdf", as_method(kdf_entry), fast_call_flags, "kdf(auth_key, msg_key, outgoing)\n--\n\n"},
    {"pack_message", as_method(pack_message_entry), fast_call_flags,
     "pack_message(data, salt, session_id, auth_key, auth_key_id)\n--\n\n"},
    {"unpack_message", as_method(unpack_message_entry), fast_call_flags,
     "unpack_message(packed, session_id, auth_key, auth_key_id)\n--\n\n"},
};

InternedName name_attribute{"__name__"};
InternedName all_attribute{"__all__"};

PyObject* interned(InternedName& name) {
    PyObject* object = name.get();
    if (object == nullptr) {
        PyErr_Clear();
        internal_fault(std::string("could not intern ") + name.text());
    }
    return object;
}

[[noreturn]] void raise_type_mismatch(PyObject* object, const char* target) {
    PyErr_SetRaisedException(type_mismatch(object, target).release());
    throw PythonErrorSet{};
}

// "TypeName: message" of the pending exception, which it clears.
std::string describe_pending_error() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return "<no error set>";
    PyRef text = PyRef::steal(PyUnicode_FromFormat("%s: %S", Py_TYPE(exception.get())->tp_name, exception.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    std::string description = utf8 != nullptr ? utf8 : "<unprintable error>";
    PyErr_Clear();
    return description;
}

// The module's __all__ list, created empty if the module has none yet.
PyRef all_list(PyObject* module) {
    PyObject* all_name = interned(all_attribute);
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = PyRef::steal(require(PyList_New(0)));
        require_status(PyObject_SetAttr(module, all_name, all.get()));
    } else if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "list");
    }
    return all;
}

void register_function(PyObject* module, PyMethodDef* record) {
    PyRef function;
    {
        PyRef module_name = PyRef::steal(require(PyModule_GetNameObject(module)));
        function = PyRef::steal(require(PyCMethod_New(record, module, module_name.get(), nullptr)));
    }
    PyRef name = PyRef::steal(require(PyObject_GetAttr(function.get(), interned(name_attribute))));
    if (!PyUnicode_Check(name.get())) raise_type_mismatch(name.get(), "str");
    PyRef all = all_list(module);
    if (PyList_Append(all.get(), name.get()) < 0)
        internal_fault("could not append __name__ to __all__: " + describe_pending_error());
    require_status(PyObject_SetAttr(module, name.get(), function.get()));
}

int module_exec(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (module == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            throw PythonErrorSet{};
        }
        if (!PyModule_Check(module)) raise_type_mismatch(module, "module");
        for (PyMethodDef& record : module_functions) register_function(module, &record);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "orvanecrypto",  // m_name
    "",              // m_doc
    0,               // m_size: no per-module state
    nullptr,         // m_methods: added by module_exec instead
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

}  // namespace orvane

PyMODINIT_FUNC PyInit_orvanecrypto() { return PyModuleDef_Init(&orvane::module_definition); }
