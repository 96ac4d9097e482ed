#include "morvane/python/Binding.hpp"

void bindHomEvaluator(py::module_&) {}
