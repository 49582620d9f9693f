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
    static ModuleOnce once{module_def};
    return once.init(
        [](PyObject* module) {
            if (!install_log_forwarding() || !register_errors_module()) return false;
            PyTypeObject* type = pravlin_type();
            return type && add_class(module, "Pravlin", reinterpret_cast<PyObject*>(type));
        },
        register_errors_module);
}

}  // namespace

PyMODINIT_FUNC PyInit_pravlin() { return guarded_init(init_module); }
