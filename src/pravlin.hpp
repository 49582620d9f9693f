// The Python class Pravlin.
#pragma once

#include "py_ref.hpp"

// The type object, created on first use and kept until the process ends.
// Null with an exception set when it cannot be created.
PyTypeObject* pravlin_type();
