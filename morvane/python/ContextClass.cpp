// The class Context, registered empty before the stopwatch functions, and its history methods after them.

#include "morvane/python/Binding.hpp"

py::class_<ContextWrapper> bindContextClass(py::module_& m) { return py::class_<ContextWrapper>(m, "Context"); }

void bindContextMethods(py::class_<ContextWrapper>& context) {
    context
        .def(
            "repr_history",
            [](const ContextWrapper& self, bool verbose) {
                // To sys.stdout, so that a redirected one receives the report.
                printLine(Morvane::representOpHistory(self.context, verbose));
            },
            "print the operation history", py::arg("verbose"))
        .def(
            "clear_history", [](ContextWrapper& self) { Morvane::clearOpHistory(self.context); },
            "clear the operation history")
        .def(
            "get_history", [](const ContextWrapper& self) { return Morvane::getOpHistory(self.context); },
            "return the operation history");
}
