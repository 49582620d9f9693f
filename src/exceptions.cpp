#include "exceptions.hpp"

#include <utility>

thread_local bool python_abandoned = false;

PyObject* panic_exception_type()
{
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pravlin.errors.PanicException",
        "Raised when the module meets a state it cannot go on from.\n\n"
        "Derives from BaseException, so that `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return type;
}

bool register_errors_module()
{
    static PyObject* errors = nullptr;  // lives as long as the process
    if (!errors) {
        PyObject* type = panic_exception_type();
        if (!type) return false;
        PyRef module(PyModule_New("pravlin.errors"));
        PyRef all(Py_BuildValue("[s]", "PanicException"));
        if (!module || !all || PyModule_SetDocString(module.get(), "The exceptions of pravlin.") < 0 ||
            PyModule_AddObjectRef(module.get(), "PanicException", type) < 0 ||
            PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0)
            return false;
        errors = module.release();
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, "pravlin.errors") == errors) return true;
    return PyDict_SetItemString(modules, "pravlin.errors", errors) == 0;
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
    PyObject* type = error.out_of_memory      ? PyExc_MemoryError
                     : error.invalid_argument ? PyExc_ValueError
                                              : PyExc_RuntimeError;
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

namespace {

thread_local HeldExceptions* innermost = nullptr;

}  // namespace

PyRef fetch_pending()
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef(value);
}

HeldExceptions::HeldExceptions() : outer_(std::exchange(innermost, this)) {}

HeldExceptions::~HeldExceptions() { stop(); }

void HeldExceptions::stop()
{
    if (open_) innermost = outer_;
    open_ = false;
}

void HeldExceptions::hold_pending()
{
    if (!innermost) {
        into_python([] { PyErr_WriteUnraisable(nullptr); });
        return;
    }
    PyRef exception = fetch_pending();
    if (!innermost->held_) innermost->held_ = std::move(exception);
}

PyObject* HeldExceptions::finish(PyObject* result)
{
    stop();
    if (!held_) return result;
    PyRef dropped(result);
    PyRef context = result ? PyRef() : fetch_pending();
    PyObject* exception = held_.release();
    if (context && context.get() != exception) PyException_SetContext(exception, context.release());
    // Not PyErr_SetObject, which would replace that context with the
    // exception being handled where the call was made.
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
    return nullptr;
}
