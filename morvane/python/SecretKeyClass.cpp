#include "morvane/python/Binding.hpp"

void bindSecretKey(py::module_&) {}
