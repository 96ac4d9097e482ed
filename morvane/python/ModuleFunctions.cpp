// The module-level functions: contexts and their parameters, devices and seeds, stopwatch and switches.

#include "morvane/python/Binding.hpp"

#include <array>
#include <set>
#include <string>

namespace M = Morvane;
using Morvane::ParameterPreset;
using Morvane::u64;

// Registered before the class Context: their signatures name the wrapped type ContextWrapper.
void bindContextFunctions(py::module_& m) {
    m.def("is_built_with_cuda", [] { return builtWithCuda; },
          "return whether morvane is built with cuda. Morvane-simulator always return true.");
    m.def(
        "make_context",
        [](const ParameterPreset& preset, const std::set<int>& cuda_device_ids) {
            return ContextWrapper{M::makeContext(preset, cuda_device_ids)};
        },
        ReleaseLock(), "make a context based on a given parameter preset", py::arg("preset"),
        py::arg_v("cuda_device_ids", std::set<int>()));
    m.def(
        "make_context",
        [](u64 log_dimension, u64 chain_length, u64 bpsize, u64 qpsize, u64 tpsize, u64 gadget_rank,
           const std::set<int>& cuda_device_ids) {
            return ContextWrapper{
                M::makeContext(log_dimension, chain_length, bpsize, qpsize, tpsize, gadget_rank, cuda_device_ids)};
        },
        ReleaseLock(),
        "make a context from the input parameters. log_dimension must be >= 10 and <= 20. chain length must be <= "
        "50. bpsize must be <= 61 and >= qpsize. qpsize must be >= 36. tpsize must be >= qpsize + (bpsize - "
        "qpsize) / numTP and <= 61 for numTP = chain_length / gadget_rank, gadget_rank must be a divisor of "
        "chain_length",
        py::arg("log_dimension"), py::arg("chain_length"), py::arg("bpsize"), py::arg("qpsize"), py::arg("tpsize"),
        py::arg("gadget_rank"), py::arg_v("cuda_device_ids", std::set<int>()));
    m.def(
        "make_context_from_file",
        [](const std::string& file_path) { return ContextWrapper{M::makeContextFromFile(file_path, {})}; },
        ReleaseLock(), "make a context from file", py::arg("file_path"));
    m.def(
        "save_context_to_file",
        [](const ContextWrapper& context, const std::string& file_path) {
            M::saveContextToFile(context.context, file_path);
        },
        ReleaseLock(), "save the context to file", py::arg("context"), py::arg("file_path"));
    m.def(
        "get_log_full_slots", [](const ContextWrapper& context) { return M::getLogFullSlots(context.context); },
        "get log full slots from the context", py::arg("context"));
    m.def(
        "get_encryption_level", [](const ContextWrapper& context) { return M::getEncryptionLevel(context.context); },
        "get encryption level from the context", py::arg("context"));
    m.def(
        "get_default_scale_factor_lists",
        [](const ContextWrapper& context) { return M::getDefaultScaleFactorList(context.context); },
        "get default scale factor lists from the context", py::arg("context"));
    m.def(
        "get_prime_lists", [](const ContextWrapper& context) { return M::getPrimeList(context.context); },
        "get prime lists from the context", py::arg("context"));
    m.def(
        "is_bootstrappable_parameter",
        [](const ContextWrapper& context) { return M::isBootstrappableParameter(context.context); },
        "return whether the bootstrapping is supported", py::arg("context"));
    m.def(
        "is_extended_bootstrap_supported",
        [](const ContextWrapper& context) { return M::isExtendedBootstrapSupported(context.context); },
        "return whether the bootstrappping for extended range is supported", py::arg("context"));
    m.def(
        "is_sparse_secret_encapsulation_supported",
        [](const ContextWrapper& context) { return M::isSparseSecretEncapsulationSupported(context.context); },
        "return whether the context support sparse secret encapsulation", py::arg("context"));
    m.def(
        "get_rot_indices_for_bootstrap",
        [](const ContextWrapper& context, u64 log_slots) {
            return M::getRotIndicesForBootstrap(context.context, log_slots);
        },
        "return the list of rotation key index for the boostrap process", py::arg("context"), py::arg("log_slots"));
    m.def(
        "get_security_level", [](const ContextWrapper& context) { return M::getSecurityLevel(context.context); },
        "return the security level of the given context. Simulator always returns SecurityLevel.None",
        py::arg("context"));
    m.def("get_sparse_parameter_preset_for", &M::getSparseParameterPresetFor,
          "get sparse secret encapsulation parameter for given parameter", py::arg("preset"));
    m.def("get_default_device", &M::getDefaultDevice, "return CPU device");
    m.def("get_current_cuda_device", &M::getCurrentCudaDevice, "return current CUDA device");
    m.def("set_current_cuda_device", &M::setCurrentCudaDevice, "set current CUDA device_id", py::arg("device_id"));
    m.def("get_seed", &M::getSeed);
    m.def("set_seed", &M::setSeed, py::arg("new_global_seed"));
}

// Registered after the class Context: their signatures name pymorvane.Context.
void bindAccountingFunctions(py::module_& m) {
    m.def(
        "start_stopwatch", [](const ContextWrapper& context) { M::startStopWatch(context.context); },
        "start stopwatch for measuring how much time will be taken on real Morvane", py::arg("context"));
    m.def(
        "stop_stopwatch", [](const ContextWrapper& context) { M::stopStopWatch(context.context); },
        "stop stopwatch for measuring how much time will be taken on real Morvane", py::arg("context"));
    m.def(
        "get_duration", [](const ContextWrapper& context) { return M::getDuration(context.context); },
        "return the duration(in ms) recorded in stopwatch", py::arg("context"));
    m.def(
        "simulate_error", [](const ContextWrapper& context, bool onoff) { M::simulateError(context.context, onoff); },
        "en/disable to simulate approximation error", py::arg("context"), py::arg("onoff"));
    m.def("simulate_alert", &M::simulateAlert, "en/disable to alert for dummy functions in simulator",
          py::arg("onoff"));
}
