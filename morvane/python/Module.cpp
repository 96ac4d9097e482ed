// The module entry: version check, the top-level registrations in their fixed order, the math submodules.

#include "morvane/python/Binding.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

bool builtWithCuda = false;

namespace {

// pybind11 makes the text of an exception with PyErr_SetString, which decodes it as strict UTF-8 and, where that
// fails, leaves the Python exception with no text at all. The library's texts may hold bytes of a path given as a
// bytes object: such a text is decoded with surrogateescape, as Python decodes file names, so that the message
// survives and os.fsencode gives the path's bytes back. Every text that is UTF-8 goes on to pybind11, unchanged.
void raiseWithText(PyObject* type, const std::exception& error) {
    // A nested exception also carries another one, which pybind11 raises as the cause.
    if (dynamic_cast<const std::nested_exception*>(&error) != nullptr)
        throw;
    const char* text = error.what();
    const auto size = static_cast<Py_ssize_t>(std::strlen(text));
    if (PyObject* strict = PyUnicode_DecodeUTF8(text, size, nullptr)) {
        Py_DECREF(strict);
        throw;
    }
    PyErr_Clear();
    PyObject* message = PyUnicode_DecodeUTF8(text, size, "surrogateescape");
    if (message == nullptr)
        return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

// The Python exception of each library exception is pybind11's.
void translateKeepingTexts(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::bad_alloc& error) {
        raiseWithText(PyExc_MemoryError, error);
    } catch (const std::domain_error& error) {
        raiseWithText(PyExc_ValueError, error);
    } catch (const std::invalid_argument& error) {
        raiseWithText(PyExc_ValueError, error);
    } catch (const std::length_error& error) {
        raiseWithText(PyExc_ValueError, error);
    } catch (const std::out_of_range& error) {
        raiseWithText(PyExc_IndexError, error);
    } catch (const std::range_error& error) {
        raiseWithText(PyExc_ValueError, error);
    } catch (const std::overflow_error& error) {
        raiseWithText(PyExc_OverflowError, error);
    } catch (const std::exception& error) {
        raiseWithText(PyExc_RuntimeError, error);
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
