#include "morvane/python/Binding.hpp"

void bindBindingGPU(py::module_&) {}
