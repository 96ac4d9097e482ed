// The class SecretKey: made from a context, read from a key file or "from coefficients", saved and moved.

#include "morvane/python/Binding.hpp"

#include <string>

using Morvane::SecretKey;

void bindSecretKey(py::module_& m) {
    py::class_<SecretKey> cls(m, "SecretKey");
    cls.def(py::init([](const ContextWrapper& context) { return SecretKey(context.context); }), ReleaseLock(),
            "construct a dummy secret key from context", py::arg("context"))
        .def(py::init([](const ContextWrapper& context, const std::string& key_file_path) {
                 return SecretKey(context.context, key_file_path);
             }),
             ReleaseLock(), "load secret key from file", py::arg("context"), py::arg("key_file_path"))
        .def(py::init([](const ContextWrapper& context, int coefficients) {
                 // The library takes the address of the coefficients and never reads it.
                 const SecretKey::Coefficients address = &coefficients;
                 return SecretKey(context.context, address);
             }),
             ReleaseLock(), "construct a secret key from coefficient representation", py::arg("context"),
             py::arg("coefficients"))
        .def(
            "save", [](const SecretKey& self, const std::string& key_file_path) { self.save(key_file_path); },
            ReleaseLock(), py::arg("key_file_path"))
        .def(
            "save_seed_only",
            [](const SecretKey& self, const std::string& key_file_path) { self.saveSeedOnly(key_file_path); },
            ReleaseLock(), py::arg("key_file_path"));
    defDeviceMoves(cls);
}
