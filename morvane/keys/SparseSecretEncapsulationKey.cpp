#include "morvane/keys/SparseSecretEncapsulationKey.hpp"

#include "morvane/core/Serialize.hpp"

#include <cereal/archives/binary.hpp>

namespace Morvane {

SparseSecretEncapsulationKey::SparseSecretEncapsulationKey(const Context& context, const Context& context_sparse)
    : dtsPart(context_sparse, 's', 0), stdPart(context, 's', 0) {}

std::unique_ptr<SparseSecretEncapsulationKey> makeEmptySparseSecretEncapsulationKey(const Context& context,
                                                                                     const Context& context_sparse) {
    return std::make_unique<SparseSecretEncapsulationKey>(context, context_sparse);
}

void save(const SparseSecretEncapsulationKey& key, std::ostream& stream) { Serialize::save(stream, key); }
void load(SparseSecretEncapsulationKey& key, std::istream& stream) { Serialize::load(stream, key); }

void save(cereal::BinaryOutputArchive& archive, const SparseSecretEncapsulationKey& key) {
    archive(key.dtsPart, key.stdPart);
}

void load(cereal::BinaryInputArchive& archive, SparseSecretEncapsulationKey& key) {
    archive(key.dtsPart, key.stdPart);
}

} // namespace Morvane
