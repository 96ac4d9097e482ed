#pragma once

// The casters of the Python module: sets of device ids from a set only, strings from a str or bytes without NUL only,
// objects of the module's classes only when their instance holds one, and a Device that follows a message as that
// message's device. Every registration unit includes this header through Binding.hpp, so these are the one caster
// of each type in the module.

#include "morvane/morvane.hpp"
#include "morvane/python/Locking.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The classes of the binding itself that have a caster here; defined in Binding.hpp and DeviceScope.cpp.
struct ContextWrapper;
namespace Morvane {
class BindingGPU;
} // namespace Morvane

// The result of Message.device: a Device that follows the message. It holds a reference to the message and is
// read through it at every use, under the message's lock, so it shows every later change of the message's device
// and never refers to a device record the message has given up. Both functions are defined with the Device class
// (Enumerations.cpp).
struct FollowingDevice {
    const Morvane::Message* message;
};
// A new Device that follows `message`, the value of `messageObject`.
pybind11::object makeFollowingDevice(pybind11::handle messageObject, const Morvane::Message& message);
// Whether `device` is a Device that follows a message; if so, `current` is that message's device now.
bool readFollowedDevice(pybind11::handle device, Morvane::Device& current);

// The ciphertexts of a list argument, by reference: converting the list to copies would read each ciphertext
// before its object lock is held (see Locking.hpp). The elements are kept alive for the call in a list of their
// own, whatever becomes of the argument, and copied once they are held.
struct CiphertextList {
    pybind11::list objects;
    std::vector<const Morvane::Ciphertext*> elements;

    std::vector<Morvane::Ciphertext> copies() const {
        std::vector<Morvane::Ciphertext> result;
        result.reserve(elements.size());
        for (const Morvane::Ciphertext* element : elements)
            result.push_back(*element);
        return result;
    }
};

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
        // A subclass's __iter__ may be Python code: through intoPython (Locking.hpp).
        const object items = newReference(intoPython(PyObject_GetIter, src.ptr()));
        while (const object item = reinterpret_steal<object>(intoPython(PyIter_Next, items.ptr()))) {
            element_caster element;
            if (!element.load(item, convert))
                return false;
            value.insert(cast_op<int&&>(std::move(element)));
        }
        if (PyErr_Occurred() != nullptr)
            throw error_already_set();
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

// A Device that follows a message converts, as an argument or as the self of its own members, to a copy of that
// message's device at the time of the call: what the call reads is then neither changed nor freed under it.
template <>
class type_caster<Morvane::Device> : public constructed_only_caster<Morvane::Device> {
public:
    bool load(handle src, bool convert) {
        if (!constructed_only_caster<Morvane::Device>::load(src, convert))
            return false;
        if (value != nullptr && readFollowedDevice(src, current_))
            value = &current_;
        return true;
    }

private:
    Morvane::Device current_;
};

// Shown as a Device in signatures; cast once the getter has returned, with its message as the parent.
template <>
struct type_caster<FollowingDevice> {
    static constexpr auto name = make_caster<Morvane::Device>::name;

    static handle cast(const FollowingDevice& src, return_value_policy, handle parent) {
        return makeFollowingDevice(parent, *src.message).release();
    }
};

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

// A list of ciphertexts converts as pybind11 converts a list of values: from any sequence but a str or bytes
// object, each element by the ciphertext caster (with an element that holds no object, or None, the overload
// does not fit), and shows as List[Ciphertext].
template <>
struct type_caster<CiphertextList> {
    using element_caster = make_caster<Morvane::Ciphertext>;

    bool load(handle src, bool convert) {
        if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src))
            return false;
        // A sequence's __len__ and __getitem__ may be Python code: through intoPython (Locking.hpp).
        const ssize_t size = intoPython(PySequence_Size, src.ptr());
        if (size < 0)
            throw error_already_set();
        value.elements.clear();
        value.elements.reserve(static_cast<std::size_t>(size));
        for (ssize_t i = 0; i < size; ++i) {
            const object item = newReference(intoPython(PySequence_GetItem, src.ptr(), i));
            element_caster caster;
            if (!caster.load(item, convert))
                return false;
            value.elements.push_back(&cast_op<const Morvane::Ciphertext&>(caster));
            value.objects.append(item);
        }
        return true;
    }

    PYBIND11_TYPE_CASTER(CiphertextList, const_name("List[") + element_caster::name + const_name("]"));
};

} // namespace pybind11::detail
