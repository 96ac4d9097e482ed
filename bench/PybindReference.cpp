// A bare pybind11 module for the Python benchmark script: methods that take two or three objects of a registered
// class, as evaluator calls do, and do nothing, so their time is pybind11's own dispatch and conversion.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

struct Operand {};

struct Callee {
    void call2(const Operand&, Operand&) const {}
    void call3(const Operand&, const Operand&, Operand&) const {}
};

} // namespace

PYBIND11_MODULE(pybind_reference, m) {
    py::class_<Operand>(m, "Operand").def(py::init<>());
    py::class_<Callee>(m, "Callee")
        .def(py::init<>())
        .def("call2", &Callee::call2, py::arg("op"), py::arg("res"))
        .def("call3", &Callee::call3, py::arg("op1"), py::arg("op2"), py::arg("res"));
}
