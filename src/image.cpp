#include "image.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <string>

#include "exceptions.hpp"

namespace {

constexpr const char* capsule_name = "pravlin.pixels";

void free_pixels(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, capsule_name)); }

bool numpy_ready()
{
    static bool ready = false;
    if (ready) return true;
    if (_import_array() < 0) {
        std::string reason = "unknown reason";
        PyRef error = fetch_pending();
        PyRef text(error ? PyObject_Str(error.get()) : nullptr);
        if (text) {
            if (const char* utf8 = PyUnicode_AsUTF8(text.get())) reason = utf8;
        }
        PyErr_Clear();
        raise_panic("Failed to access NumPy array API capsule: " + reason);
        return false;
    }
    ready = true;
    return true;
}

}  // namespace

PyObject* image_to_array(pravlin_lib::Image image)
{
    if (!numpy_ready()) return nullptr;
    PyRef base(PyCapsule_New(image.block.get(), capsule_name, free_pixels));
    if (!base) return nullptr;
    image.block.release();  // the capsule frees it from here on
    void* data = image.pixels;

    npy_intp dims[3] = {image.height, image.width, 4};
    npy_intp strides[3] = {static_cast<npy_intp>(image.width) * 4, 4, 1};
    PyObject* array = PyArray_New(&PyArray_Type, 3, dims, NPY_UINT8, strides, data, 0,
                                  NPY_ARRAY_CARRAY, nullptr);
    if (!array) return nullptr;
    // Steals the reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base.release()) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}
