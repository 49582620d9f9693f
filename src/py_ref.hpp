// Owned reference to a Python object, and what every frame that runs Python
// code must let through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>
#include <utility>

// CPython (3.11 to 3.13) ends a thread that tries to take the interpreter lock
// back while the interpreter finalizes with pthread_exit; no lock is held when
// that happens. The forced unwind must pass through every frame, and nothing on
// the way out may touch a Python object. Set on such a thread by the first of
// our frames that sees the unwind. One flag for both modules, which share
// the library that defines it.
extern thread_local bool python_abandoned;

// Runs `call`, which may run Python code, noting a forced unwind that comes
// out of it.
template <class F>
decltype(auto) into_python(F&& call)
{
    try {
        return std::forward<F>(call)();
    } catch (abi::__forced_unwind&) {
        python_abandoned = true;
        throw;
    }
}

// This thread holds the interpreter lock and is not being ended.
inline bool may_touch_python() { return !python_abandoned && PyGILState_Check(); }

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, after a failed call).
    explicit PyRef(PyObject* owned) : obj_(owned) {}
    static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other)
    {
        if (this != &other) {
            reset();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    // Dropping the last reference can run Python code (a __del__), so this
    // lets a forced unwind through; on a thread being ended it leaks instead.
    ~PyRef() noexcept(false) { reset(); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference over, e.g. as a return value to the interpreter.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset()
    {
        PyObject* obj = std::exchange(obj_, nullptr);
        if (obj && may_touch_python()) into_python([obj] { Py_DECREF(obj); });
    }

private:
    PyObject* obj_ = nullptr;
};
