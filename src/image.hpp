// Hands a captured image to Python as a numpy array.
#pragma once

#include "py_ref.hpp"
#include "pravlin_lib/helper.hpp"

// uint8 array of shape (height, width, 4) over the image's own memory, which
// the array's base object frees. numpy is imported on the first call.
PyObject* image_to_array(pravlin_lib::Image image);
