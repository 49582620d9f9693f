// How failures of the core reach Python.
#pragma once

#include "py_ref.hpp"
#include "pravlin_lib/error.hpp"

#include <string>

// The exception class for broken invariants; derives from BaseException so
// that `except Exception` does not swallow it. Created once per process.
PyObject* panic_exception_type();

// Raises the error: PanicException for an internal failure, MemoryError or
// RuntimeError with the rendering otherwise. Always returns nullptr.
PyObject* raise_error(const pravlin_lib::Error& error);

PyObject* raise_panic(const std::string& message);
