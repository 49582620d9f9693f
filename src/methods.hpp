// How a class of ours calls its core: every method is a row of a table, its
// parameters and the core call, and one trampoline binds, takes the instance,
// converts, calls and releases.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <exception>
#include <new>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "pravlin_lib/error.hpp"

// Runs the body of a call from Python, so that no C++ exception leaves it: a
// forced unwind passes (noted, see py_ref.hpp), running out of memory is
// MemoryError, anything else a broken invariant.
template <class F>
PyObject* guarded_call(F&& body)
{
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        python_abandoned = true;
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(panic_exception_type(), "unexpected C++ exception: %s", e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(panic_exception_type(), "unexpected C++ exception");
        return nullptr;
    }
}

inline PyObject* none_or_raise(const pravlin_lib::Result<>& result)
{
    if (!result) return raise_error(result.error());
    Py_RETURN_NONE;
}

// The value of an instance's borrow flag while a method call holds it; 0 when free.
inline constexpr uintptr_t borrow_held = ~uintptr_t{0};

// Releases the borrow flag on every way out of a call that took it, except
// when the thread is being ended in the middle of the call.
class Borrow {
public:
    explicit Borrow(uintptr_t& flag) : flag_(flag) { flag_ = borrow_held; }
    ~Borrow()
    {
        if (!python_abandoned) flag_ = 0;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    uintptr_t& flag_;
};

template <class Core>
struct Method {
    Signature signature;
    PyObject* (*call)(Core& core, const Args& args);
};

// `Object` is the instance's layout: the object header, then `core`, then `borrow`.
template <class Object, class Core, const Method<Core>& M>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    auto* obj = reinterpret_cast<Object*>(self);
    HeldExceptions held;
    return held.finish(guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        if (!bound.bind(M.signature, args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
        if (obj->borrow != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return nullptr;
        }
        Borrow borrow(obj->borrow);
        Args values;
        if (!bound.convert(M.signature, values)) return nullptr;
        return M.call(obj->core, values);
    }));
}

template <class Object, class Core, const Method<Core>& M>
constexpr PyMethodDef method_def(const char* doc)
{
    return {M.signature.function,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline<Object, Core, M>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The id of the interpreter importing a module of ours, which single-phase
// initialisation ties to the first one: -1 with ImportError set for any
// other (and -1 with an exception set when the id cannot be had).
inline int64_t same_interpreter(int64_t owner, const char* module)
{
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return -1;
    if (owner >= 0 && owner != interpreter) {
        PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", module);
        return -1;
    }
    return interpreter;
}
