#include "morvane/keys/EvaluationKey.hpp"

#include "morvane/core/Serialize.hpp"

#include <cereal/archives/binary.hpp>

namespace Morvane {

EvaluationKey::EvaluationKey(const Context& context, char type, unsigned long rot_idx)
    : type(type), rot_idx(rot_idx), parameterId(context->parameterId) {}

std::unique_ptr<EvaluationKey> makeEmptyMultKey(const Context& context) {
    return std::make_unique<EvaluationKey>(context, 'm', 0);
}

std::unique_ptr<EvaluationKey> makeEmptyConjugationKey(const Context& context) {
    return std::make_unique<EvaluationKey>(context, 'c', 0);
}

std::unique_ptr<EvaluationKey> makeEmptyRotationKey(const Context& context, unsigned long rot_idx) {
    return std::make_unique<EvaluationKey>(context, 'r', rot_idx);
}

void save(const EvaluationKey& key, std::ostream& stream) { Serialize::save(stream, key); }
void load(EvaluationKey& key, std::istream& stream) { Serialize::load(stream, key); }

void save(cereal::BinaryOutputArchive& archive, const EvaluationKey& key) {
    archive(KeyRecordTag::Evaluation, key.parameterId, key.type, key.rot_idx);
}

void load(cereal::BinaryInputArchive& archive, EvaluationKey& key) {
    detail::checkRecordTag(archive, KeyRecordTag::Evaluation);
    archive(key.parameterId, key.type, key.rot_idx);
}

} // namespace Morvane
