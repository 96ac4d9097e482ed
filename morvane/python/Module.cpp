// The module entry: version check, the top-level registrations in their fixed order, the math submodules.

#include "morvane/python/Binding.hpp"

#include <cstring>
#include <exception>
#include <string>

bool builtWithCuda = false;

namespace {

// pybind11 makes the text of an exception with PyErr_SetString, which decodes it as strict UTF-8 and, where that
// fails, leaves the Python exception with no text at all. The library's texts may hold bytes of a path given as a
// bytes object: such a text is decoded with surrogateescape, as Python decodes file names, so that the message
// survives and os.fsencode gives the path's bytes back.

// Whether `text` is UTF-8; a Python error already set stays as it is, since pybind11 raises the exception from it.
bool isUtf8(const char* text, Py_ssize_t size) {
    const py::error_scope pending;
    PyObject* const strict = PyUnicode_DecodeUTF8(text, size, nullptr);
    if (strict == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(strict);
    return true;
}

// Gives the exception pybind11 has just raised for `text` that text, decoded with surrogateescape, where it has
// none. Its type, cause and traceback stay as pybind11 made them; where anything fails, it stays as it was.
void giveText(const char* text, Py_ssize_t size) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    if (value != nullptr && PyExceptionInstance_Check(value)) {
        PyObject* const args = PyObject_GetAttrString(value, "args");
        if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 0) {
            if (PyObject* const message = PyUnicode_DecodeUTF8(text, size, "surrogateescape")) {
                if (PyObject* const withText = PyTuple_Pack(1, message)) {
                    PyObject_SetAttrString(value, "args", withText);
                    Py_DECREF(withText);
                }
                Py_DECREF(message);
            }
        }
        Py_XDECREF(args);
        PyErr_Clear();
    }
    PyErr_Restore(type, value, trace);
}

// The Python exception of every C++ exception is the one pybind11's translators give it: a text that is UTF-8 goes
// on to them unchanged; any other is translated by them as well, and the exception they raise then given the text.
void translateKeepingTexts(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const py::error_already_set&) {
        // Holds a Python exception already.
        throw;
    } catch (const std::exception& error) {
        const char* const text = error.what();
        const auto size = static_cast<Py_ssize_t>(std::strlen(text));
        if (isUtf8(text, size))
            throw;
        // The translators pybind11 tries after this module's own, which read the exception being handled here.
        if (!py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators))
            throw;
        giveText(text, size);
    }
}

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
    py::register_local_exception_translator(&translateKeepingTexts);
    bindModule(m, "pymorvane");
    py::module_ math = m.def_submodule("math", "math submodule");
    bindMathModule(math);
    installThreadSupport();
}
