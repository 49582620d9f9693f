// How a class of ours calls its core: every method is a row of a table, its
// parameters and the core call, and one trampoline binds, takes the instance,
// converts, calls and releases. The classes are alike in the rest as well:
// the instance is the object header, the core object and the borrow flag.
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

// A module of ours: initialised once per process, in the first interpreter
// that imports it (ImportError in any other); an import after that returns
// the same module object. `fill` runs the module body; `again` runs on every
// later import.
struct ModuleOnce {
    PyModuleDef& def;
    PyObject* cached = nullptr;
    int64_t owner = -1;

    template <class Fill, class Again>
    PyObject* init(Fill fill, Again again)
    {
        const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter < 0) return nullptr;
        if (owner >= 0 && owner != interpreter) {
            PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", def.m_name);
            return nullptr;
        }
        if (cached) return again() ? Py_NewRef(cached) : nullptr;
        PyRef module(PyModule_Create(&def));
        if (!module || !fill(module.get())) return nullptr;
        owner = interpreter;
        cached = Py_NewRef(module.get());
        return module.release();
    }
};

// The constructor of a class whose instance holds `Core`: binds and converts
// the arguments, has `connect` make the core object from them, and moves it
// into a new instance. Nothing is left behind when any step fails.
template <class Object, class Core, class Connect>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& signature, Connect connect)
{
    HeldExceptions held;
    return held.finish(guarded_call([&]() -> PyObject* {
        BoundArgs bound;
        Args values;
        if (!bound.bind(signature, args, kwargs) || !bound.convert(signature, values)) return nullptr;
        pravlin_lib::Result<Core> core = connect(values);
        if (!core) return raise_error(core.error());
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<Object*>(self);
        new (&obj->core) Core(std::move(*core));
        obj->borrow = 0;
        return self;
    }));
}

template <class Object, class Core>
void destroy(PyObject* self)
{
    reinterpret_cast<Object*>(self)->core.~Core();
    Py_TYPE(self)->tp_free(self);
}

// A class that cannot be subclassed, has no __dict__ and no weak references,
// takes no part in garbage collection and is made only by `make`.
inline PyTypeObject class_type(const char* name, Py_ssize_t size, destructor dealloc, const char* doc,
                               PyMethodDef* methods, newfunc make)
{
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = name;
    type.tp_basicsize = size;
    type.tp_dealloc = dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = doc;
    type.tp_methods = methods;
    type.tp_new = make;
    return type;
}

// The type, readied on first use; null with an exception set when it cannot be.
inline PyTypeObject* ready(PyTypeObject& type, bool& done)
{
    if (!done) {
        if (PyType_Ready(&type) < 0) return nullptr;
        done = true;
    }
    return &type;
}

// A module's initialisation function: no C++ exception leaves it.
template <class F>
PyObject* guarded_init(F&& init)
{
    try {
        return init();
    } catch (abi::__forced_unwind&) {
        python_abandoned = true;
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
