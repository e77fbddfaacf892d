#include "surface/arguments.hpp"

#include "surface/format.hpp"
#include "surface/python_error.hpp"

#include <string>

namespace orvane {

namespace {

std::string missing_list(const std::string_view* parameters, const std::size_t* missing, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += '\'';
        list += parameters[missing[i]];
        list += '\'';
    }
    return list;
}

}  // namespace

void match_arguments_into(const char* function, const std::string_view* parameters, std::size_t count,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", function, count,
                     nargs);
        throw PythonErrorSet{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (utf8 == nullptr) PyErr_Clear();  // unencodable: matches no parameter
        std::size_t parameter = count;
        for (std::size_t p = 0; utf8 != nullptr && p < count; ++p)
            if (parameters[p] == std::string_view(utf8, static_cast<std::size_t>(size))) parameter = p;
        if (parameter == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, keyword);
            throw PythonErrorSet{};
        }
        if (slots[parameter] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%.*s'", function,
                         as_int(parameters[parameter].size()), parameters[parameter].data());
            throw PythonErrorSet{};
        }
        slots[parameter] = args[nargs + k];
    }

    std::array<std::size_t, max_parameters> missing{};
    std::size_t missing_count = 0;
    for (std::size_t p = static_cast<std::size_t>(nargs); p < count; ++p)
        if (slots[p] == nullptr) missing[missing_count++] = p;
    if (missing_count > 0) {
        const std::string list = missing_list(parameters, missing.data(), missing_count);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function,
                     missing_count, missing_count == 1 ? "" : "s", list.c_str());
        throw PythonErrorSet{};
    }
}

}  // namespace orvane
