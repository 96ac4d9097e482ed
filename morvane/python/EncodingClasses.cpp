#include "morvane/python/Binding.hpp"

void bindDecryptor(py::module_&) {}

void bindEncryptor(py::module_&) {}

void bindEnDecoder(py::module_&) {}
