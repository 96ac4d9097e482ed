#pragma once

// Conventions shared by every registration unit of the Python module, and the list of those units. The
// interpreter-lock helpers, the casters and the buffer-export checks have headers of their own, included here.
//
// - Registration order is observable (overload order, and which type names generated signatures show), so
//   the units are called from bindModule in one fixed order; a unit registers its members in the order its
//   code lists them, which changes only on purpose, and never registers anything of another unit.
// - Every argument gets a name (py::arg) and may be passed by keyword; defaults are given as py::arg_v values,
//   so each overload owns one Python default object made at registration.
// - Members whose work the library does release the interpreter lock around the library call only:
//   forwarding members use ReleaseLock; members that must check something first (ensureNoExports, list
//   conversions) do it with the lock held and then open a ReleasedInterpreter scope, which, unlike
//   py::gil_scoped_release, lets a program end while a daemon thread is in the library. Arguments are
//   converted before and results after, with the lock held.
// - A member that reads or writes a Message, Plaintext or Ciphertext holds it (Locking.hpp) from before the
//   interpreter lock is released until after it is taken back: forwarding members use guarded() instead of
//   ReleaseLock, the others make ObjectLocks first; members that keep the interpreter lock make BriefLocks.
// - Library exceptions reach Python through pybind11's default translation; the module's own translator (in
//   Module.cpp) only keeps the texts that are not UTF-8, which that translation would leave empty.
// - Classes: default unique holder, no docstring, no dynamic attributes, no pickling, not module-local; only
//   Message exports a buffer.
// - Properties that return a reference into their owner use reference_internal; a method result that the
//   library returns by reference is copied. Message.device instead gives a Device that follows the message.
// - Casters (Casters.hpp): sets of device ids from a set only, strings (paths) from a str or bytes without NUL
//   only, objects of the module's classes only when their instance holds one, and a Device that follows a message
//   as that message's device at the time of the call.
// - The module's own code calls into Python (printing, a Python object's methods, the container protocol in its
//   casters) through intoPython and its helpers (Locking.hpp), never through py::print, attr(...)(...) or by
//   calling a py::object: a thread the interpreter ends inside such a call at exit then stops there, instead of
//   running the module's cleanups without the interpreter lock.
// - Alert lines are the library's own writes to the process's standard output; text meant for Python's
//   sys.stdout goes through printLine.

#include "morvane/morvane.hpp"
#include "morvane/python/BufferExports.hpp"
#include "morvane/python/Casters.hpp"
#include "morvane/python/Locking.hpp"
#include "morvane/python/Representation.hpp"

#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <set>
#include <string>
#include <utility>

namespace py = pybind11;

// The class behind Python's Context: one library context handle.
struct ContextWrapper {
    Morvane::Context context;
};

namespace Morvane {
// The class behind Python's BindingGPU, defined with its registration unit.
class BindingGPU;
} // namespace Morvane

// Set by bindModule; read by is_built_with_cuda.
extern bool builtWithCuda;

// to, to_device and to_host of a class whose library type has to(const Device&); a data object is held for the
// move. The target device is made after the interpreter lock is released, so the alert of the CUDA query is
// printed without it.
template <typename T>
void defDeviceMoves(py::class_<T>& cls) {
    cls.def("to", guarded(+[](T& self, const Morvane::Device& device) { self.to(device); }), py::arg("device"))
        .def("to_device", guarded(+[](T& self) {
                 self.to(Morvane::Device(Morvane::DeviceType::GPU, Morvane::CudaTools::cudaGetDevice()));
             }))
        .def("to_host", guarded(+[](T& self) { self.to(Morvane::getDefaultDevice()); }));
}

// The copy constructor of a data object as a function, for guarded.
template <typename DataObject>
DataObject copyOf(const DataObject& other) {
    return other;
}

// Registers __repr__ of Message, Plaintext or Ciphertext; the function keeps its own copy of the module name.
template <typename DataObject>
void defRepresentation(py::class_<DataObject>& cls, std::string moduleName) {
    cls.def("__repr__", [moduleName = std::move(moduleName)](const DataObject& self) {
        const BriefLocks locks(self);
        return representation(moduleName, self);
    });
}

// Registration units, in the order bindModule calls them.
void bindSecurityLevel(py::module_& m);
void bindContextFunctions(py::module_& m);
py::class_<ContextWrapper> bindContextClass(py::module_& m);
void bindAccountingFunctions(py::module_& m);
void bindContextMethods(py::class_<ContextWrapper>& context);
void bindParameterPreset(py::module_& m);
void bindDeviceType(py::module_& m);
void bindDevice(py::module_& m);
void bindMessage(py::module_& m, std::string moduleName);
void bindPlaintext(py::module_& m, std::string moduleName);
void bindCiphertext(py::module_& m, std::string moduleName);
void bindSecretKey(py::module_& m);
void bindKeyGenerator(py::module_& m);
void bindKeyPack(py::module_& m);
void bindDecryptor(py::module_& m);
void bindEncryptor(py::module_& m);
void bindEnDecoder(py::module_& m);
void bindHomEvaluator(py::module_& m);
void bindBootstrapper(py::module_& m);
void bindCollectiveKeyGenConfig(py::module_& m);
void bindCollectiveKeyGenData(py::module_& m);
void bindCollectiveKeyGenerator(py::module_& m);
void bindBindingGPU(py::module_& m);

// The submodule math: approx with the sign family and then the numeric functions, then sort.
void bindApproxSignFamily(py::module_& approx);
void bindApproxNumeric(py::module_& approx);
void bindSort(py::module_& sort);
