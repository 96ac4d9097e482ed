#include "morvane/python/Binding.hpp"

void bindApproxNumeric(py::module_&) {}
