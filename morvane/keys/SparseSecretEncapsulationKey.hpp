#pragma once

// SparseSecretEncapsulationKey: the two-part key of sparse secret encapsulation.

#include "morvane/core/Context.hpp"
#include "morvane/keys/EvaluationKey.hpp"

#include <istream>
#include <memory>
#include <ostream>

namespace Morvane {

// Two evaluation-key halves of type 's': the part of the sparse context first, then that of the main one.
class SparseSecretEncapsulationKey {
public:
    // The empty record (both halves all zero) that loaders read stored values into.
    SparseSecretEncapsulationKey() = default;
    // No check relates the two contexts.
    SparseSecretEncapsulationKey(const Context& context, const Context& context_sparse);

    EvaluationKey& getDTSPart() { return dtsPart; }
    const EvaluationKey& getDTSPart() const { return dtsPart; }
    EvaluationKey& getSTDPart() { return stdPart; }
    const EvaluationKey& getSTDPart() const { return stdPart; }

    void copyTo(const Device& device) {
        dtsPart.copyTo(device);
        stdPart.copyTo(device);
    }
    void removeExcept(const Device& device) {
        dtsPart.removeExcept(device);
        stdPart.removeExcept(device);
    }

    EvaluationKey dtsPart;
    EvaluationKey stdPart;
};

std::unique_ptr<SparseSecretEncapsulationKey> makeEmptySparseSecretEncapsulationKey(const Context& context,
                                                                                     const Context& context_sparse);

void save(const SparseSecretEncapsulationKey& key, std::ostream& stream);
void load(SparseSecretEncapsulationKey& key, std::istream& stream);

// Archive hooks: the two evaluation-key records, each with its own tag.
void save(cereal::BinaryOutputArchive& archive, const SparseSecretEncapsulationKey& key);
void load(cereal::BinaryInputArchive& archive, SparseSecretEncapsulationKey& key);

} // namespace Morvane
