#include "morvane/python/Binding.hpp"

void bindBootstrapper(py::module_&) {}
