// Entry point of the extension module `pravlin`.

#include "py_ref.hpp"

#include <cstdint>
#include <new>

#include "exceptions.hpp"
#include "log_forward.hpp"
#include "methods.hpp"
#include "pravlin.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pravlin",
    "Drive a Wayland desktop as a person at the keyboard and mouse would.",
    0,  // no per-module state; not -1, so a re-import calls us and gets the cached module
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;
int64_t owner_interpreter = -1;

bool add_class(PyObject* module, const char* name, PyObject* cls)
{
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    if (!all) {
        PyRef fresh(PyList_New(0));
        if (!fresh || PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) return false;
        all = fresh.get();
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, cls) == 0;
}

PyObject* init_module()
{
    const int64_t interpreter = same_interpreter(owner_interpreter, "pravlin");
    if (interpreter < 0) return nullptr;
    if (cached_module) return register_errors_module() ? Py_NewRef(cached_module) : nullptr;
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!install_log_forwarding()) return nullptr;
    if (!register_errors_module()) return nullptr;
    PyTypeObject* type = pravlin_type();
    if (!type || !add_class(module.get(), "Pravlin", reinterpret_cast<PyObject*>(type))) return nullptr;

    owner_interpreter = interpreter;
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_pravlin()
{
    try {
        return init_module();
    } catch (abi::__forced_unwind&) {
        python_abandoned = true;
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
