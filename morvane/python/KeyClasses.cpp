// The classes KeyGenerator and KeyPack. KeyPack is registered after KeyGenerator, so the generator's
// signatures name it Morvane::KeyPack.

#include "morvane/python/Binding.hpp"

#include <istream>
#include <string>

using Morvane::KeyGenerator;
using Morvane::KeyPack;
using Morvane::SecretKey;
using Morvane::u64;

namespace {

// A load from the key directory, then its form from a file path. The path forms of the explicit loads open an
// input file and hand it over without testing the open: a file that does not open (a directory among them) reads
// as an empty stream, so the loader reports the record's first short read.
template <void (KeyPack::*Load)(), void (KeyPack::*LoadFrom)(std::istream&)>
void defLoads(py::class_<KeyPack>& cls, const char* name) {
    cls.def(
           name, [](KeyPack& self) { (self.*Load)(); }, ReleaseLock())
        .def(
            name,
            [](KeyPack& self, const std::string& path) {
                Morvane::detail::InputFile stream;
                stream.open(path);
                (self.*LoadFrom)(stream);
            },
            ReleaseLock(), py::arg("path"));
}

template <void (KeyPack::*Load)(unsigned long), void (KeyPack::*LoadFrom)(unsigned long, std::istream&)>
void defRotationLoads(py::class_<KeyPack>& cls, const char* name) {
    cls.def(
           name, [](KeyPack& self, u64 rot_idx) { (self.*Load)(rot_idx); }, ReleaseLock(), py::arg("rot_idx"))
        .def(
            name,
            [](KeyPack& self, u64 rot_idx, const std::string& path) {
                Morvane::detail::InputFile stream;
                stream.open(path);
                (self.*LoadFrom)(rot_idx, stream);
            },
            ReleaseLock(), py::arg("rot_idx"), py::arg("path"));
}

} // namespace

void bindKeyGenerator(py::module_& m) {
    py::class_<KeyGenerator>(m, "KeyGenerator")
        .def(py::init([](const ContextWrapper& context, const SecretKey& sk) {
                 return KeyGenerator(context.context, sk);
             }),
             ReleaseLock(), "construct a key generator", py::arg("context"), py::arg("sk"))
        .def(py::init([](const ContextWrapper& context, const SecretKey& sk, const KeyPack& pack) {
                 return KeyGenerator(context.context, sk, pack);
             }),
             ReleaseLock(), "construct a key generator from an existing keypack", py::arg("context"), py::arg("sk"),
             py::arg("pack"))
        .def(py::init([](const ContextWrapper& context, const ContextWrapper& context_sparse, const SecretKey& sk) {
                 return KeyGenerator(context.context, context_sparse.context, sk);
             }),
             ReleaseLock(), "construct a key generator which can perform sparse secret encapsulation",
             py::arg("context"), py::arg("context_sparse"), py::arg("sk"))
        .def(py::init([](const ContextWrapper& context, const ContextWrapper& context_sparse, const SecretKey& sk,
                         const KeyPack& pack) {
                 return KeyGenerator(context.context, context_sparse.context, sk, pack);
             }),
             ReleaseLock(),
             "construct a key generator from an existing keypack which can perform sparse secret encapsulation",
             py::arg("context"), py::arg("context_sparse"), py::arg("sk"), py::arg("pack"))
        .def("gen_enc_key", &KeyGenerator::genEncryptionKey, ReleaseLock())
        .def("gen_mult_key", &KeyGenerator::genMultiplicationKey, ReleaseLock())
        .def("gen_conj_key", &KeyGenerator::genConjugationKey, ReleaseLock())
        .def(
            "gen_left_rot_key", [](const KeyGenerator& self, u64 rot_idx) { self.genLeftRotationKey(rot_idx); },
            ReleaseLock(), py::arg("rot_idx"))
        .def(
            "gen_right_rot_key", [](const KeyGenerator& self, u64 rot_idx) { self.genRightRotationKey(rot_idx); },
            ReleaseLock(), py::arg("rot_idx"))
        .def("gen_rot_key_bundle", &KeyGenerator::genRotationKeyBundle, ReleaseLock())
        .def("gen_common_keys", &KeyGenerator::genCommonKeys, ReleaseLock())
        .def(
            "gen_rot_keys_for_bootstrap",
            [](const KeyGenerator& self, u64 log_slots) { self.genRotKeysForBootstrap(log_slots); }, ReleaseLock(),
            py::arg("log_slots"))
        .def("gen_sparse_secret_encapsulation_key", &KeyGenerator::genSparseSecretEncapsulationKey, ReleaseLock())
        .def(
            "save", [](const KeyGenerator& self, const std::string& key_dir_path) { self.save(key_dir_path); },
            ReleaseLock(), py::arg("key_dir_path"))
        .def("flush", &KeyGenerator::flush, ReleaseLock())
        // Each read is a new KeyPack object sharing the generator's key store.
        .def_property_readonly("keypack", &KeyGenerator::getKeyPack);
}

void bindKeyPack(py::module_& m) {
    py::class_<KeyPack> cls(m, "KeyPack");
    cls.def(py::init([](const ContextWrapper& context) { return KeyPack(context.context); }), ReleaseLock(),
            "construct a keypack", py::arg("context"))
        .def(py::init([](const ContextWrapper& context, const std::string& key_dir_path) {
                 return KeyPack(context.context, key_dir_path);
             }),
             ReleaseLock(), "construct a keypack with a directory for saved keys", py::arg("context"),
             py::arg("key_dir_path"))
        .def(py::init([](const ContextWrapper& context, const ContextWrapper& context_sparse) {
                 return KeyPack(context.context, context_sparse.context);
             }),
             ReleaseLock(), "construct a keypack for parameter supporting sparse secret encapsulation",
             py::arg("context"), py::arg("context_sparse"))
        .def(py::init([](const ContextWrapper& context, const ContextWrapper& context_sparse,
                         const std::string& key_dir_path) {
                 return KeyPack(context.context, context_sparse.context, key_dir_path);
             }),
             ReleaseLock(),
             "construct a keypack for parameter supporting sparse secret encapsulation with a directory for saved "
             "keys",
             py::arg("context"), py::arg("context_sparse"), py::arg("key_dir_path"));
    defLoads<&KeyPack::loadEncKey, &KeyPack::loadEncKey>(cls, "load_enc_key");
    defLoads<&KeyPack::loadMultKey, &KeyPack::loadMultKey>(cls, "load_mult_key");
    defRotationLoads<&KeyPack::loadLeftRotKey, &KeyPack::loadLeftRotKey>(cls, "load_left_rot_key");
    defRotationLoads<&KeyPack::loadRightRotKey, &KeyPack::loadRightRotKey>(cls, "load_right_rot_key");
    defLoads<&KeyPack::loadConjKey, &KeyPack::loadConjKey>(cls, "load_conj_key");
    defLoads<&KeyPack::loadSparseSecretEncapsulationKey, &KeyPack::loadSparseSecretEncapsulationKey>(
        cls, "load_sparse_secret_encapsulation_key");
    cls.def("is_enc_key_loaded", &KeyPack::isEncKeyLoaded)
        .def("is_mult_key_loaded", &KeyPack::isMultKeyLoaded)
        .def(
            "is_left_rot_key_loaded", [](const KeyPack& self, u64 rot_idx) { return self.isLeftRotKeyLoaded(rot_idx); },
            py::arg("rot_idx"))
        .def(
            "is_right_rot_key_loaded",
            [](const KeyPack& self, u64 rot_idx) { return self.isRightRotKeyLoaded(rot_idx); }, py::arg("rot_idx"))
        .def("is_conj_key_loaded", &KeyPack::isConjKeyLoaded)
        .def("is_sparse_secret_encapsulation_key_loaded", &KeyPack::isSparseSecretEncapsulationKeyLoaded);
    defDeviceMoves(cls);
    cls.def(
        "save", [](const KeyPack& self, const std::string& key_dir_path) { self.save(key_dir_path); }, ReleaseLock(),
        py::arg("key_dir_path"));
}
