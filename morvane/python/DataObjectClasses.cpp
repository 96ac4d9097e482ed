#include "morvane/python/Binding.hpp"

void bindPlaintext(py::module_&, std::string) {}

void bindCiphertext(py::module_&, std::string) {}
