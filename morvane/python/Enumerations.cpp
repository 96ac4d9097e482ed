// The enumerations SecurityLevel, ParameterPreset and DeviceType, and the class Device with the Devices that follow
// a message.

#include "morvane/python/Binding.hpp"

#include "morvane/core/tables/NeverDestroyed.hpp"

#include <unordered_map>

using Morvane::Device;
using Morvane::DeviceType;
using Morvane::Message;
using Morvane::ParameterPreset;
using Morvane::SecurityLevel;

namespace {

// The Devices that follow a message, with the interpreter lock held. Each entry holds a reference to the message
// object, given back when the Device is deallocated. Never destroyed: an interpreter finalized by an exit handler
// of the embedding program deallocates Devices after the module's own static objects are gone. The reference is
// invisible to the garbage collector, so a cycle through a following Device (kept in an attribute of a subclass of
// Message) is never collected.
struct Followed {
    PyObject* messageObject;
    const Message* message;
};
Morvane::detail::NeverDestroyed<std::unordered_map<PyObject*, Followed>> followedDevices;

destructor pybindDeviceDealloc = nullptr;

void deallocDevice(PyObject* object) {
    PyObject* messageObject = nullptr;
    if (const auto found = followedDevices->find(object); found != followedDevices->end()) {
        messageObject = found->second.messageObject;
        followedDevices->erase(found);
    }
    pybindDeviceDealloc(object);
    Py_XDECREF(messageObject);
}

} // namespace

py::object makeFollowingDevice(py::handle messageObject, const Message& message) {
    // The Device's own value is the message's device as read now; it is not read while the Device follows. Made
    // once the message is let go: making a Python object may run finalizers.
    const Device now = [&message] {
        const BriefLocks locks(message);
        return message.getDevice();
    }();
    py::object device = py::cast(now);
    followedDevices->emplace(device.ptr(), Followed{messageObject.ptr(), &message});
    messageObject.inc_ref();
    return device;
}

bool readFollowedDevice(py::handle device, Device& current) {
    const auto found = followedDevices->find(device.ptr());
    if (found == followedDevices->end())
        return false;
    // Other entries may come and go while the lock waits; this one stays with the Device the caller has.
    const Message& message = *found->second.message;
    const BriefLocks locks(message);
    current = message.getDevice();
    return true;
}

// The library's enumerations are scoped, so pybind11 makes them strict: equality with any other type is
// false and ordering against it a TypeError. Their members are not exported into the module.

void bindSecurityLevel(py::module_& m) {
    py::enum_<SecurityLevel>(m, "SecurityLevel", py::arithmetic())
        .value("Classical128", SecurityLevel::Classical128)
        .value("Classical192", SecurityLevel::Classical192)
        .value("Classical256", SecurityLevel::Classical256)
        .value("None", SecurityLevel::None);
}

void bindParameterPreset(py::module_& m) {
    py::enum_<ParameterPreset>(m, "ParameterPreset", py::arithmetic())
        .value("FVa", ParameterPreset::FVa)
        .value("FVb", ParameterPreset::FVb)
        .value("FVc", ParameterPreset::FVc)
        .value("FGa", ParameterPreset::FGa)
        .value("FGb", ParameterPreset::FGb)
        .value("FTa", ParameterPreset::FTa)
        .value("FTb", ParameterPreset::FTb)
        .value("ST19", ParameterPreset::ST19)
        .value("ST14", ParameterPreset::ST14)
        .value("ST11", ParameterPreset::ST11)
        .value("ST8", ParameterPreset::ST8)
        .value("ST7", ParameterPreset::ST7)
        .value("SS7", ParameterPreset::SS7)
        .value("SD3", ParameterPreset::SD3)
        .value("FX", ParameterPreset::FX)
        .value("FGd", ParameterPreset::FGd)
        .value("SGd0", ParameterPreset::SGd0)
        .value("CUSTOM", ParameterPreset::CUSTOM);
}

void bindDeviceType(py::module_& m) {
    py::enum_<DeviceType>(m, "DeviceType", py::arithmetic())
        .value("CPU", DeviceType::CPU)
        .value("GPU", DeviceType::GPU)
        .value("UNDEFINED", DeviceType::UNDEFINED)
        .value("CPU_PINNED", DeviceType::CPU_PINNED);
}

void bindDevice(py::module_& m) {
    py::class_<Device> cls(m, "Device");
    // A Device that follows a message gives its reference back with the Device.
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    pybindDeviceDealloc = type->tp_dealloc;
    type->tp_dealloc = deallocDevice;
    cls.def(py::init([](DeviceType device_type) {
                // A GPU device made from its type alone is the current CUDA device.
                return Device(device_type, device_type == DeviceType::GPU ? Morvane::CudaTools::cudaGetDevice() : 0);
            }),
            "construct device from device type", py::arg("device_type"))
        .def(py::init<DeviceType, int>(), "construct device from device type and device id", py::arg("device_type"),
             py::arg("device_id"))
        .def_property_readonly("type", &Device::type, "return device type")
        .def_property_readonly("id", &Device::id, "return device id");
}
