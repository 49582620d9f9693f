#include "exceptions.hpp"

#include <cstdio>

PyObject* panic_exception_type()
{
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pravlin.PanicException",
        "Raised when the module meets a state it cannot go on from.\n\n"
        "Derives from BaseException, so that `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return type;
}

std::string render_error(const pravlin_lib::Error& error)
{
    std::string text = error.message;
    if (error.causes.empty()) return text;
    text += "\n\nCaused by:";
    const bool numbered = error.causes.size() > 1;
    const std::string continuation = numbered ? "\n       " : "\n    ";
    for (size_t i = 0; i < error.causes.size(); ++i) {
        if (numbered) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "\n%5zu: ", i);
            text += prefix;
        } else {
            text += "\n    ";
        }
        for (char c : error.causes[i]) {
            if (c == '\n') text += continuation;
            else text += c;
        }
    }
    return text;
}

PyObject* raise_panic(const std::string& message)
{
    PyObject* type = panic_exception_type();
    if (!type) return nullptr;
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_error(const pravlin_lib::Error& error)
{
    if (error.internal) return raise_panic(error.message);
    const std::string text = render_error(error);
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
}
