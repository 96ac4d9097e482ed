#include "morvane/python/Binding.hpp"

void bindCollectiveKeyGenConfig(py::module_&) {}

void bindCollectiveKeyGenData(py::module_&) {}

void bindCollectiveKeyGenerator(py::module_&) {}
