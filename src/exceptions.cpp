#include "exceptions.hpp"


PyObject* panic_exception_type()
{
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pravlin.PanicException",
        "Raised when the module meets a state it cannot go on from.\n\n"
        "Derives from BaseException, so that `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return type;
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
    const std::string text = pravlin_lib::render(error);
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(error.out_of_memory ? PyExc_MemoryError : PyExc_RuntimeError, message.get());
    return nullptr;
}
