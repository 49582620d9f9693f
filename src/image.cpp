#include "image.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "exceptions.hpp"

namespace {

constexpr const char* capsule_name = "pravlin.pixels";

constexpr const char* keeper_name = "pravlin.shared_pixels";

void free_pixels(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, capsule_name)); }

void free_keeper(PyObject* capsule)
{
    delete static_cast<std::shared_ptr<void>*>(PyCapsule_GetPointer(capsule, keeper_name));
}

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
    PyRef base;
    if (image.keeper) {
        auto* keeper = new std::shared_ptr<void>(std::move(image.keeper));
        base = PyRef(PyCapsule_New(keeper, keeper_name, free_keeper));
        if (!base) delete keeper;
    } else {
        base = PyRef(PyCapsule_New(image.block.get(), capsule_name, free_pixels));
        if (base) image.block.release();  // the capsule frees it from here on
    }
    if (!base) return nullptr;

    const npy_intp row = image.stride ? static_cast<npy_intp>(image.stride) : static_cast<npy_intp>(image.width) * 4;
    uint8_t* data = image.pixels;
    npy_intp dims[3] = {image.height, image.width, 4};
    npy_intp strides[3] = {row, 4, 1};
    if (image.y_invert && image.height > 0) {
        // The same memory, read from the last row up.
        data += row * (image.height - 1);
        strides[0] = -row;
    }
    const bool contiguous = strides[0] == static_cast<npy_intp>(image.width) * 4;
    PyObject* array = PyArray_New(&PyArray_Type, 3, dims, NPY_UINT8, strides, data, 0,
                                  contiguous ? NPY_ARRAY_CARRAY : NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED, nullptr);
    if (!array) return nullptr;
    // Steals the reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base.release()) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}
