// Owned reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, after a failed call).
    explicit PyRef(PyObject* owned) : obj_(owned) {}
    static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept
    {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference over, e.g. as a return value to the interpreter.
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    PyObject* obj_ = nullptr;
};
