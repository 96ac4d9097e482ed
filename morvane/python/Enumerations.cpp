// The enumerations SecurityLevel, ParameterPreset and DeviceType, and the class Device.

#include "morvane/python/Binding.hpp"

using Morvane::Device;
using Morvane::DeviceType;
using Morvane::ParameterPreset;
using Morvane::SecurityLevel;

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
    py::class_<Device>(m, "Device")
        .def(py::init([](DeviceType device_type) {
                 // A GPU device made from its type alone is the current CUDA device.
                 return Device(device_type, device_type == DeviceType::GPU ? Morvane::CudaTools::cudaGetDevice() : 0);
             }),
             "construct device from device type", py::arg("device_type"))
        .def(py::init<DeviceType, int>(), "construct device from device type and device id", py::arg("device_type"),
             py::arg("device_id"))
        .def_property_readonly("type", &Device::type, "return device type")
        .def_property_readonly("id", &Device::id, "return device id");
}
