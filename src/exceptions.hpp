// How failures of the core reach Python.
#pragma once

#include "py_ref.hpp"
#include "pravlin_lib/error.hpp"

#include <string>

// The exception class for broken invariants; derives from BaseException so
// that `except Exception` does not swallow it. Created once per process.
PyObject* panic_exception_type();

// Puts the module "pravlin.errors", which holds PanicException, into
// sys.modules (again, if it was taken out), so that `from pravlin.errors
// import PanicException` works the way `import os.path` does although pravlin
// is no package; pravlin itself gains no attribute. False with an exception set.
bool register_errors_module();

// Raises the error: PanicException for an internal failure, MemoryError,
// ValueError (a request that cannot be) or RuntimeError with the rendering
// otherwise. Always returns nullptr.
PyObject* raise_error(const pravlin_lib::Error& error);

PyObject* raise_panic(const std::string& message);

// Takes the pending exception: one normalized object carrying its traceback,
// or null when none is pending.
PyRef fetch_pending();

// Exceptions that arise inside a call, in Python code the call runs (logging
// handlers), but belong to its caller: KeyboardInterrupt, SystemExit and any
// other BaseException that is no Exception, and whatever a signal handler
// raises. Printing them there would lose an interrupt, or exit the process
// from inside the call. Each method call and construction opens a scope; the
// scopes of calls made from such Python code nest inside.
class HeldExceptions {
public:
    HeldExceptions();
    ~HeldExceptions();
    HeldExceptions(const HeldExceptions&) = delete;
    HeldExceptions& operator=(const HeldExceptions&) = delete;

    // Takes the pending exception into the innermost scope, where the first
    // one held stays and later ones are dropped. Outside every scope it is
    // reported as unraisable.
    static void hold_pending();

    // Ends the scope once the call has completed and released its instance.
    // With an exception held, raises it instead of the call's outcome: the
    // result is dropped, the call's own exception becomes its context.
    PyObject* finish(PyObject* result);

private:
    void stop();

    PyRef held_;
    HeldExceptions* outer_;
    bool open_ = true;
};
