#pragma once

// EvaluationKey: multiplication, conjugation, rotation and sparse-secret-encapsulation key records.

#include "morvane/core/Context.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/keys/EncryptionKey.hpp"

#include <istream>
#include <memory>
#include <ostream>

namespace Morvane {

// Multiplication ('m'), conjugation ('c'), left-rotation ('r') key or one half of a sparse-secret-
// encapsulation key ('s'). Type, index and parameter id are carried along, never interpreted.
class EvaluationKey {
public:
    // The empty record (every field zero, type character 0) that loaders read stored values into.
    EvaluationKey() = default;
    EvaluationKey(const Context& context, char type, unsigned long rot_idx);

    void copyTo(const Device& device) { this->device = device; }
    void removeExcept(const Device& device) { this->device = device; }

    Device device = getDefaultDevice();
    char type = 0;
    u64 rot_idx = 0;
    u64 parameterId = 0;
};

std::unique_ptr<EvaluationKey> makeEmptyMultKey(const Context& context);
std::unique_ptr<EvaluationKey> makeEmptyConjugationKey(const Context& context);
// The index is taken as given: no check, no reduction.
std::unique_ptr<EvaluationKey> makeEmptyRotationKey(const Context& context, unsigned long rot_idx);

void save(const EvaluationKey& key, std::ostream& stream);
void load(EvaluationKey& key, std::istream& stream);

// Archive hooks: tag 1, parameter id, type byte, rotation index (the id precedes type and index on disk).
void save(cereal::BinaryOutputArchive& archive, const EvaluationKey& key);
void load(cereal::BinaryInputArchive& archive, EvaluationKey& key);

} // namespace Morvane
