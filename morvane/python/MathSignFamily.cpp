#include "morvane/python/Binding.hpp"

void bindApproxSignFamily(py::module_&) {}

void bindSort(py::module_&) {}
