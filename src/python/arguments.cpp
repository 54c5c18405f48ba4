// Argument matching shared by the exported functions.
#include "python/arguments.hpp"

#include "types/py_errors.hpp"

namespace corvane::py {
namespace {

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw ErrorAlreadySet{};
}

// "{f} {what} '{keyword}'", formatted by the interpreter so that any keyword
// text, lone surrogates included, appears as it was given.
[[noreturn]] void keyword_error(const std::string& f, const char* what, PyObject* keyword) {
    Ref message(PyUnicode_FromFormat("%s %s '%U'", f.c_str(), what, keyword));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    throw ErrorAlreadySet{};
}

}  // namespace

std::string text_signature(const Signature& signature) {
    std::string text = std::string(signature.name) + "(";
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        if (i) text += ", ";
        text += signature.params[i];
    }
    return text + ")\n--\n\n";
}

void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> values) {
    const std::string f = std::string(signature.name) + "()";
    const std::size_t n = signature.params.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > n) {
        type_error(f + " takes " + std::to_string(n) + " positional arguments but " + std::to_string(given) +
                   (given == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < n; ++i) values[i] = i < given ? args[i] : nullptr;

    const Py_ssize_t n_keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (!keyword) throw ErrorAlreadySet{};
        std::size_t index = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, signature.params[i]) == 0) {
                index = i;
                break;
            }
        }
        if (index == n) keyword_error(f, "got an unexpected keyword argument", keyword);
        if (index < given) keyword_error(f, "got multiple values for argument", keyword);
        values[index] = args[nargs + k];
    }

    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < n; ++i) n_missing += values[i] == nullptr;
    if (n_missing == 0) return;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (values[i]) continue;
        if (listed) names += listed + 1 == n_missing ? " and " : ", ";
        names += std::string("'") + signature.params[i] + "'";
        ++listed;
    }
    type_error(f + " missing " + std::to_string(n_missing) + " required positional " +
               (n_missing == 1 ? "argument" : "arguments") + ": " + names);
}

}  // namespace corvane::py
