// The multi-party key generation classes: CollectiveKeyGenConfig with its Type, CollectiveKeyGenData and
// CollectiveKeyGenerator with its key files.

#include "morvane/python/Binding.hpp"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

using Morvane::CollectiveKeyGenConfig;
using Morvane::CollectiveKeyGenData;
using Morvane::CollectiveKeyGenerator;

namespace {

template <typename Key>
using Generation = std::shared_ptr<Key> (CollectiveKeyGenerator::*)(const CollectiveKeyGenData&,
                                                                     const CollectiveKeyGenData&) const;

// The wrapper of a gen_and_save_*_key member. The key is generated before the file is opened, so a generation
// that fails (no sparse context) leaves an existing file as it was. The open is not tested: a path that does not
// open fails at the first write with the archive's short-write error. A file beside which no new file can be made
// is written over in place, as every other save does, once the room for all of the key is reserved. A failed
// write (a full disk) is reported, and the file is replaced only by a complete key.
template <typename Key>
auto generateAndSave(Generation<Key> generate) {
    return [generate](const CollectiveKeyGenerator& self, const CollectiveKeyGenData& first,
                      const CollectiveKeyGenData& second, const std::string& path) {
        const std::shared_ptr<Key> key = (self.*generate)(first, second);
        Morvane::detail::writeFile(
            path, [&key](std::ostream& stream) { Morvane::save(*key, stream); },
            Morvane::detail::UnopenedFile::PassToWriter);
    };
}

CollectiveKeyGenData aggregateKeyShare(const CollectiveKeyGenerator& self,
                                       std::vector<const CollectiveKeyGenData*> parts) {
    // The result is a copy of the first share. It is checked and copied while the lock is held: once the lock
    // is released another thread may drop the elements of the list, and nothing else keeps them alive. The
    // other shares are never read.
    if (parts.empty())
        throw Morvane::RuntimeException("[aggregate_key_share] parts is empty");
    if (parts.front() == nullptr)
        throw Morvane::RuntimeException("[aggregate_key_share] parts[0] is None");
    const CollectiveKeyGenData first = *parts.front();
    parts.front() = &first;
    const ReleasedInterpreter release;
    return self.aggregateKeyShare(parts);
}

} // namespace

// The nested Type is registered after the members, so the constructor's signature names the library type.
void bindCollectiveKeyGenConfig(py::module_& m) {
    py::class_<CollectiveKeyGenConfig> cls(m, "CollectiveKeyGenConfig");
    cls.def(py::init<CollectiveKeyGenConfig::Type, Morvane::i64>(), py::arg("type"),
            py::arg_v("rot_idx", Morvane::i64{0}))
        .def_readwrite("type", &CollectiveKeyGenConfig::type)
        .def_readwrite("rot_idx", &CollectiveKeyGenConfig::rot_idx)
        .def(
            "__eq__", [](const CollectiveKeyGenConfig& self, const CollectiveKeyGenConfig& other) { return self == other; },
            py::is_operator(), py::arg("other"))
        .def(
            "__ne__", [](const CollectiveKeyGenConfig& self, const CollectiveKeyGenConfig& other) { return self != other; },
            py::is_operator(), py::arg("other"));
    // Unscoped, so pybind11 makes it int-convertible: equal to ints of its value, no ordering.
    py::enum_<CollectiveKeyGenConfig::Type>(cls, "Type")
        .value("Enc", CollectiveKeyGenConfig::Enc)
        .value("Conj", CollectiveKeyGenConfig::Conj)
        .value("Rot", CollectiveKeyGenConfig::Rot)
        .value("Mult", CollectiveKeyGenConfig::Mult)
        .value("SparseSecretEncapsulation", CollectiveKeyGenConfig::SparseSecretEncapsulation)
        .export_values();
}

void bindCollectiveKeyGenData(py::module_& m) {
    py::class_<CollectiveKeyGenData>(m, "CollectiveKeyGenData")
        .def(py::init<const CollectiveKeyGenConfig&>(), ReleaseLock(), py::arg("config"))
        .def("get_config", [](const CollectiveKeyGenData& self) { return CollectiveKeyGenConfig(self.getConfig()); })
        .def(
            "load",
            // A file that does not open, a directory among them, reads as an empty stream.
            [](CollectiveKeyGenData& self, const std::string& path) {
                Morvane::detail::InputFile stream;
                stream.open(path);
                self.load(stream);
            },
            ReleaseLock(), py::arg("path"))
        .def(
            "save",
            // Leaves an empty file wherever the path opens; where it does not, nothing changes and nothing is
            // raised.
            [](const CollectiveKeyGenData& self, const std::string& path) {
                Morvane::detail::writeFile(
                    path, [&self](std::ostream& stream) { self.save(stream); },
                    Morvane::detail::UnopenedFile::PassToWriter);
            },
            ReleaseLock(), py::arg("path"));
}

void bindCollectiveKeyGenerator(py::module_& m) {
    py::class_<CollectiveKeyGenerator>(m, "CollectiveKeyGenerator")
        .def(py::init([](const ContextWrapper& context) { return CollectiveKeyGenerator(context.context); }),
             ReleaseLock(), "Construct a collective key generator", py::arg("context"))
        .def(py::init([](const ContextWrapper& context, const ContextWrapper& context_sparse) {
                 return CollectiveKeyGenerator(context.context, context_sparse.context);
             }),
             ReleaseLock(), "Construct a collective key generator which also generates sparse secret encapsulation key",
             py::arg("context"), py::arg("context_sparse"))
        .def("gen_common_random_data", &CollectiveKeyGenerator::genCommonRandomData, ReleaseLock(),
             py::arg("config"))
        .def("gen_key_share", &CollectiveKeyGenerator::genKeyShare, ReleaseLock(), py::arg("sk"), py::arg("crd"))
        .def("aggregate_key_share", &aggregateKeyShare, py::arg("parts"))
        .def("gen_mult_key_share_round_one", &CollectiveKeyGenerator::genMultKeyShareRoundOne, ReleaseLock(),
             py::arg("sk"), py::arg("tmp_sk"), py::arg("crd"))
        .def("gen_mult_key_share_round_two", &CollectiveKeyGenerator::genMultKeyShareRoundTwo, ReleaseLock(),
             py::arg("sk"), py::arg("tmp_sk"), py::arg("data_round_one"))
        .def("gen_and_save_enc_key", generateAndSave(&CollectiveKeyGenerator::genEncKey), ReleaseLock(),
             py::arg("crd"), py::arg("agg"), py::arg("path"))
        .def("gen_and_save_conj_key", generateAndSave(&CollectiveKeyGenerator::genConjKey), ReleaseLock(),
             py::arg("crd"), py::arg("agg"), py::arg("path"))
        .def("gen_and_save_rot_key", generateAndSave(&CollectiveKeyGenerator::genRotKey), ReleaseLock(),
             py::arg("crd"), py::arg("agg"), py::arg("path"))
        .def("gen_and_save_sparse_secret_encapsulation_key",
             generateAndSave(&CollectiveKeyGenerator::genSparseSecretEncapsulationKey), ReleaseLock(), py::arg("crd"),
             py::arg("agg"), py::arg("path"))
        .def("gen_and_save_mult_key", generateAndSave(&CollectiveKeyGenerator::genMultKey), ReleaseLock(),
             py::arg("data_round_one"), py::arg("data_round_two"), py::arg("path"));
}
