#pragma once

// The interpreter-lock helpers of the registration units.

#include <pybind11/pybind11.h>

namespace py = pybind11;

// The call guard of a member that forwards to the library: the interpreter lock is released around the
// library call only.
using ReleaseLock = py::call_guard<py::gil_scoped_release>;
