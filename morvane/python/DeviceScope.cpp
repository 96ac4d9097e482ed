// The GPU device scope BindingGPU: a with-statement object that makes a GPU current and restores the device
// that was current before.

#include "morvane/python/Binding.hpp"

#include <memory>
#include <utility>

using Morvane::BindingGPU;
using Morvane::Ciphertext;
using Morvane::Device;
using Morvane::DeviceType;
using Morvane::Message;
using Morvane::Plaintext;

namespace Morvane {

// One switch of the current CUDA device: made by switching, destroyed by switching back.
class CudaDeviceGuard {
public:
    explicit CudaDeviceGuard(int device_id) : previous(getCurrentCudaDevice()) { setCurrentCudaDevice(device_id); }
    CudaDeviceGuard(const CudaDeviceGuard&) = delete;
    CudaDeviceGuard& operator=(const CudaDeviceGuard&) = delete;
    ~CudaDeviceGuard() { setCurrentCudaDevice(previous.id()); }

private:
    Device previous;
};

class BindingGPU {
public:
    explicit BindingGPU(const Device& device) : target(device) {}

    // A non-GPU target switches nothing. Entering again before leaving makes a fresh switch first and then
    // lets the older one switch back.
    Device enter() {
        if (target.type() != DeviceType::GPU)
            return target;
        std::unique_ptr<CudaDeviceGuard> older = std::exchange(guard, std::make_unique<CudaDeviceGuard>(target.id()));
        older.reset();
        return target;
    }

    // Switches back when a switch is in force; nothing otherwise.
    void exit() { guard.reset(); }

private:
    std::unique_ptr<CudaDeviceGuard> guard;
    Device target;
};

} // namespace Morvane

namespace {

// The device a scope is made from, read with the object held.
template <typename DataObject>
Device deviceOf(const DataObject& op) {
    const BriefLocks locks(op);
    return op.getDevice();
}

} // namespace

// Every member keeps the interpreter lock: the simulated CUDA tools do no work worth releasing it for.
void bindBindingGPU(py::module_& m) {
    py::class_<BindingGPU>(m, "BindingGPU")
        .def(py::init([](int device_id) { return BindingGPU(Device(DeviceType::GPU, device_id)); }),
             "construct BindingGPU scope from device id", py::arg("device_id"))
        .def(py::init<const Device&>(), "construct BindingGPU scope from device", py::arg("device"))
        .def(py::init([](const Message& op) { return BindingGPU(deviceOf(op)); }),
             "construct BindingGPU scope from Message", py::arg("op"))
        .def(py::init([](const Plaintext& op) { return BindingGPU(deviceOf(op)); }),
             "construct BindingGPU scope from Plaintext", py::arg("op"))
        .def(py::init([](const Ciphertext& op) { return BindingGPU(deviceOf(op)); }),
             "construct BindingGPU scope from Ciphertext", py::arg("op"))
        .def("__enter__", &BindingGPU::enter)
        // Returns None, so an exception raised inside the with block goes on once the scope is left.
        .def(
            "__exit__", [](BindingGPU& self, const py::object&, const py::object&, const py::object&) { self.exit(); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
}
