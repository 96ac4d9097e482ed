// The module entry: version check, the top-level registrations in their fixed order, the math submodules.

#include "morvane/python/Binding.hpp"

#include <string>

bool builtWithCuda = false;

namespace {

void bindModule(py::module_& m, const std::string& moduleName) {
    builtWithCuda = true;
    bindSecurityLevel(m);
    bindContextFunctions(m);
    py::class_<ContextWrapper> context = bindContextClass(m);
    bindAccountingFunctions(m);
    bindContextMethods(context);
    bindParameterPreset(m);
    bindDeviceType(m);
    bindDevice(m);
    bindMessage(m, moduleName);
    bindPlaintext(m, moduleName);
    bindCiphertext(m, moduleName);
    bindSecretKey(m);
    bindKeyGenerator(m);
    bindKeyPack(m);
    bindDecryptor(m);
    bindEncryptor(m);
    bindEnDecoder(m);
    bindHomEvaluator(m);
    bindBootstrapper(m);
    bindCollectiveKeyGenConfig(m);
    bindCollectiveKeyGenData(m);
    bindCollectiveKeyGenerator(m);
    bindBindingGPU(m);
}

void bindMathModule(py::module_& math) {
    py::module_ approx = math.def_submodule("approx", "approx submodule");
    bindApproxSignFamily(approx);
    bindApproxNumeric(approx);
    py::module_ sort = math.def_submodule("sort", "sort submodule");
    bindSort(sort);
}

} // namespace

// pybind11's entry refuses an interpreter of another minor version than the one compiled for, with the
// ImportError "Python version mismatch: ...", before anything is created.
PYBIND11_MODULE(pymorvane, m) {
    bindModule(m, "pymorvane");
    py::module_ math = m.def_submodule("math", "math submodule");
    bindMathModule(math);
    installThreadSupport();
}
