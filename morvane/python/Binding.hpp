#pragma once

// Conventions shared by every registration unit of the Python module, and the list of those units.
//
// - Registration order is observable (overload order, and which type names generated signatures show), so
//   the units are called from bindModule in one fixed order; a unit registers its members in the order of
//   its class's member table and never registers anything of another unit.
// - Every argument gets a name (py::arg) and may be passed by keyword; defaults are given as py::arg_v values,
//   so each overload owns one Python default object made at registration.
// - Members whose work the library does release the interpreter lock around the library call only:
//   forwarding members use ReleaseLock; members that must check something first (ensureNoExports, list
//   conversions) do it with the lock held and then open a py::gil_scoped_release scope. Arguments are
//   converted before and results after, with the lock held.
// - Library exceptions reach Python through pybind11's default translation only; no translator is registered.
// - Classes: default unique holder, no docstring, no dynamic attributes, no pickling, not module-local; only
//   Message exports a buffer.
// - Properties that return a reference into their owner use reference_internal; a method result that the
//   library returns by reference is copied.
// - Casters declared at the end of this header: sets of device ids from a set only, strings (paths) from a str or
//   bytes without NUL only, and objects of the module's classes only when their instance holds one.
// - Alert lines are the library's own writes to the process's standard output; text meant for Python's
//   sys.stdout goes through py::print.

#include "morvane/morvane.hpp"
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

using ReleaseLock = py::call_guard<py::gil_scoped_release>;

// Exports of a message's slot storage through the buffer protocol are counted while the lock is held. A
// member that may change a message's slot count or replace its slot storage (set_data with another length,
// load, a library call that writes a message output) calls this with the lock held before it changes
// anything: while a view is exported it raises BufferError, as CPython does for its own resizable types.
void ensureNoExports(const Morvane::Message& message);
// Whether a view of the message's slot storage is exported now (lock held).
bool hasExports(const Morvane::Message& message);
// For a member that writes `size` slots into a message output: a view stays valid while the slot count
// stays, so only a new count is refused while one is exported. Lock held, before anything changes.
inline void ensureResizable(const Morvane::Message& message, Morvane::u64 size) {
    if (message.getSize() != size)
        ensureNoExports(message);
}

// to, to_device and to_host of a class whose library type has to(const Device&). The target device is made
// after the lock is released, so the alert of the CUDA query is printed without it.
template <typename T>
void defDeviceMoves(py::class_<T>& cls) {
    cls.def(
           "to", [](T& self, const Morvane::Device& device) { self.to(device); }, ReleaseLock(), py::arg("device"))
        .def(
            "to_device",
            [](T& self) {
                self.to(Morvane::Device(Morvane::DeviceType::GPU, Morvane::CudaTools::cudaGetDevice()));
            },
            ReleaseLock())
        .def(
            "to_host", [](T& self) { self.to(Morvane::getDefaultDevice()); }, ReleaseLock());
}

// Registers __repr__ of Message, Plaintext or Ciphertext; the function keeps its own copy of the module name.
template <typename DataObject>
void defRepresentation(py::class_<DataObject>& cls, std::string moduleName) {
    cls.def("__repr__", [moduleName = std::move(moduleName)](const DataObject& self) {
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

namespace pybind11::detail {

// Sets of device ids convert from a set or a subclass of set only: pybind11 2.10 also takes a frozenset.
// Every unit includes this header, so the one caster of std::set<int> is this one.
template <>
struct type_caster<std::set<int>> {
    using element_caster = make_caster<int>;

    bool load(handle src, bool convert) {
        if (!PySet_Check(src.ptr()))
            return false;
        value.clear();
        for (handle item : reinterpret_borrow<pybind11::set>(src)) {
            element_caster element;
            if (!element.load(item, convert))
                return false;
            value.insert(cast_op<int&&>(std::move(element)));
        }
        return true;
    }

    static handle cast(const std::set<int>& src, return_value_policy, handle) {
        pybind11::set result;
        for (int item : src)
            result.add(item);
        return result.release();
    }

    PYBIND11_TYPE_CASTER(std::set<int>, const_name("Set[") + element_caster::name + const_name("]"));
};

// Strings (file and directory paths) convert from a str or a bytes object only: pybind11 2.10 also takes a
// bytearray. A path with a NUL is refused as Python's open refuses it, since the system would read it only up to
// the NUL: ValueError, before the library or any file is touched. Results are cast as pybind11 casts them.
template <>
struct type_caster<std::string> : string_caster<std::string> {
    bool load(handle src, bool convert) {
        if (PyByteArray_Check(src.ptr()))
            return false;
        if (!string_caster<std::string>::load(src, convert))
            return false;
        if (value.find('\0') != std::string::npos)
            throw value_error("embedded null byte");
        return true;
    }
};

// Objects of the module's classes convert only once they hold an object. An instance made by __new__ without
// __init__ holds none, and pybind11 would allocate raw memory and hand it to the wrapper as the object; refused
// here, such an argument fits no overload (TypeError). A class type defined in the binding code adds its line.
//
// The caster is on the path of every overload tried, matching or not, so it is kept cheap: anything that is not
// an instance of the class is refused at once (no implicit conversion is registered and no class is
// module-local, so pybind11's search for a foreign module-local type, an attribute lookup that raises and clears
// an AttributeError, can never succeed), and the class's type record is looked up once instead of in every
// caster's constructor. Results are cast by pybind11's own caster.
template <typename T>
class constructed_only_caster : public type_caster_generic {
public:
    static constexpr auto name = const_name<T>();

    constructed_only_caster() : type_caster_generic(registeredType()) {}

    bool load(handle src, bool convert) {
        // None stays pybind11's: a null pointer where one is taken, no overload where a reference is.
        if (src.is_none())
            return type_caster_generic::load(src, convert);
        if (typeinfo == nullptr)
            return false;
        auto* inst = reinterpret_cast<instance*>(src.ptr());
        // The common case, an object of the class itself, reads the value slot directly, as pybind11 would.
        if (Py_TYPE(src.ptr()) == typeinfo->type) {
            value = value_and_holder(inst, typeinfo, 0, 0).value_ptr();
            return value != nullptr;
        }
        if (!PyType_IsSubtype(Py_TYPE(src.ptr()), typeinfo->type) || !inst->get_value_and_holder(typeinfo, false))
            return false;
        return type_caster_generic::load(src, convert);
    }

    static handle cast(const T& src, return_value_policy policy, handle parent) {
        return type_caster_base<T>::cast(src, policy, parent);
    }
    static handle cast(T&& src, return_value_policy policy, handle parent) {
        return type_caster_base<T>::cast(std::move(src), policy, parent);
    }
    static handle cast(const T* src, return_value_policy policy, handle parent) {
        return type_caster_base<T>::cast(src, policy, parent);
    }

    template <typename U>
    using cast_op_type = detail::cast_op_type<U>;

    operator T*() { return static_cast<T*>(value); }
    operator T&() {
        if (value == nullptr)
            throw reference_cast_error();
        return *static_cast<T*>(value);
    }

private:
    // Casters are made with the interpreter lock held; the record exists once the class is registered.
    static const type_info* registeredType() {
        static const type_info* registered = nullptr;
        if (registered == nullptr)
            registered = get_type_info(typeid(T));
        return registered;
    }
};

#define MORVANE_CONSTRUCTED_ONLY(Type)                                                                                 \
    template <>                                                                                                        \
    class type_caster<Type> : public constructed_only_caster<Type> {}

MORVANE_CONSTRUCTED_ONLY(ContextWrapper);
MORVANE_CONSTRUCTED_ONLY(Morvane::Device);
MORVANE_CONSTRUCTED_ONLY(Morvane::Message);
MORVANE_CONSTRUCTED_ONLY(Morvane::Plaintext);
MORVANE_CONSTRUCTED_ONLY(Morvane::Ciphertext);
MORVANE_CONSTRUCTED_ONLY(Morvane::SecretKey);
MORVANE_CONSTRUCTED_ONLY(Morvane::KeyGenerator);
MORVANE_CONSTRUCTED_ONLY(Morvane::KeyPack);
MORVANE_CONSTRUCTED_ONLY(Morvane::Decryptor);
MORVANE_CONSTRUCTED_ONLY(Morvane::Encryptor);
MORVANE_CONSTRUCTED_ONLY(Morvane::EnDecoder);
MORVANE_CONSTRUCTED_ONLY(Morvane::HomEvaluator);
MORVANE_CONSTRUCTED_ONLY(Morvane::Bootstrapper);
MORVANE_CONSTRUCTED_ONLY(Morvane::CollectiveKeyGenConfig);
MORVANE_CONSTRUCTED_ONLY(Morvane::CollectiveKeyGenData);
MORVANE_CONSTRUCTED_ONLY(Morvane::CollectiveKeyGenerator);
MORVANE_CONSTRUCTED_ONLY(Morvane::BindingGPU);

} // namespace pybind11::detail
