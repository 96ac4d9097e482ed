#include "morvane/python/Binding.hpp"

void bindKeyGenerator(py::module_&) {}

void bindKeyPack(py::module_&) {}
