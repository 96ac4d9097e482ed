#include "morvane/keys/MultiParty.hpp"

#include "morvane/core/Alert.hpp"
#include "morvane/core/Exception.hpp"

namespace Morvane {

CollectiveKeyGenData::CollectiveKeyGenData(const CollectiveKeyGenConfig& config)
    : impl_(std::make_unique<CollectiveKeyGenDataImpl>(CollectiveKeyGenDataImpl{config, {}})) {}

void CollectiveKeyGenData::emplacePoly(const Context&, bool, unsigned long) {
    detail::alert("[CollectiveKeyGenData::emplacePoly] Nothing happen in Morvane-simulator");
}

u64 CollectiveKeyGenData::getSize() const {
    detail::alert("[CollectiveKeyGenData::getSize] Always return 0 in Morvane-simulator");
    return 0;
}

void CollectiveKeyGenData::save(std::ostream&) const {
    detail::alert("[CollectiveKeyGenData::save] Nothin happen in Morvane-simulator");
}

void CollectiveKeyGenData::load(std::istream&) {
    detail::alert("[CollectiveKeyGenData::load] Nothin happen in Morvane-simulator");
}

namespace {
constexpr const char* polyIterAlert =
    "[CollectiveKeyGenData::getPolyIter] Always return an empty iterator in Morvane-simulator";
} // namespace

std::vector<Polynomial>::iterator CollectiveKeyGenData::getPolyIter() {
    detail::alert(polyIterAlert);
    return impl_->polys.begin();
}

std::vector<Polynomial>::const_iterator CollectiveKeyGenData::getPolyIter() const {
    detail::alert(polyIterAlert);
    return impl_->polys.cbegin();
}

CollectiveKeyGenerator::CollectiveKeyGenerator(const Context& context)
    : impl_(std::make_shared<CollectiveKeyGeneratorImpl>(CollectiveKeyGeneratorImpl{context, std::nullopt})) {}

CollectiveKeyGenerator::CollectiveKeyGenerator(const Context& context, const Context& context_sparse)
    : impl_(std::make_shared<CollectiveKeyGeneratorImpl>(CollectiveKeyGeneratorImpl{context, context_sparse})) {}

CollectiveKeyGenData CollectiveKeyGenerator::genCommonRandomData(const CollectiveKeyGenConfig& config) const {
    detail::alert("[CollectiveKeyGenerator::genCommonRandomData] Always return the default CollectiveKeyGenData in "
                  "Morvane-simulator");
    return CollectiveKeyGenData(config);
}

CollectiveKeyGenData CollectiveKeyGenerator::genKeyShare(const SecretKey&, const CollectiveKeyGenData& crd) const {
    detail::alert(
        "[CollectiveKeyGenerator::genKeyShare] Always return the default CollectiveKeyGenData in Morvane-simulator");
    return crd;
}

CollectiveKeyGenData
CollectiveKeyGenerator::aggregateKeyShare(const std::vector<const CollectiveKeyGenData*>& parts) const {
    detail::alert("[CollectiveKeyGenerator::aggregateKeyShare] Always return the default CollectiveKeyGenData in "
                  "Morvane-simulator");
    // The result is the first share, so only that one has to exist; the others are never read.
    if (parts.empty())
        throw RuntimeException("[CollectiveKeyGenerator::aggregateKeyShare] The list of key shares is empty");
    if (parts.front() == nullptr)
        throw RuntimeException("[CollectiveKeyGenerator::aggregateKeyShare] The first key share is null");
    return *parts.front();
}

CollectiveKeyGenData CollectiveKeyGenerator::genMultKeyShareRoundOne(const SecretKey&, const SecretKey&,
                                                                     const CollectiveKeyGenData& crd) const {
    detail::alert("[CollectiveKeyGenerator::genMultKeyShareRoundOne] Always return the default CollectiveKeyGenData "
                  "in Morvane-simulator");
    return crd;
}

CollectiveKeyGenData CollectiveKeyGenerator::genMultKeyShareRoundTwo(const SecretKey&, const SecretKey&,
                                                                     const CollectiveKeyGenData& data_round_one) const {
    detail::alert("[CollectiveKeyGenerator::genMultKeyShareRoundTwo] Always return the default CollectiveKeyGenData "
                  "in Morvane-simulator");
    return data_round_one;
}

std::shared_ptr<EncryptionKey> CollectiveKeyGenerator::genEncKey(const CollectiveKeyGenData&,
                                                                 const CollectiveKeyGenData&) const {
    detail::alert("[CollectiveKeyGenerator::genEncKey] Always return an empty EncryptionKey in Morvane-simulator");
    return std::make_shared<EncryptionKey>(impl_->context);
}

std::shared_ptr<EvaluationKey> CollectiveKeyGenerator::genRotKey(const CollectiveKeyGenData&,
                                                                 const CollectiveKeyGenData&) const {
    detail::alert("[CollectiveKeyGenerator::genRotKey] Always return an empty rotation key in Morvane-simulator");
    return makeEmptyRotationKey(impl_->context, 1);
}

std::shared_ptr<EvaluationKey> CollectiveKeyGenerator::genMultKey(const CollectiveKeyGenData&,
                                                                  const CollectiveKeyGenData&) const {
    detail::alert(
        "[CollectiveKeyGenerator::genMultKey] Always return an empty multiplication key in Morvane-simulator");
    return makeEmptyMultKey(impl_->context);
}

std::shared_ptr<EvaluationKey> CollectiveKeyGenerator::genConjKey(const CollectiveKeyGenData&,
                                                                  const CollectiveKeyGenData&) const {
    detail::alert("[CollectiveKeyGenerator::genConjKey] Always return an empty conjugation key in Morvane-simulator");
    return makeEmptyConjugationKey(impl_->context);
}

std::shared_ptr<SparseSecretEncapsulationKey>
CollectiveKeyGenerator::genSparseSecretEncapsulationKey(const CollectiveKeyGenData&,
                                                        const CollectiveKeyGenData&) const {
    detail::alert("[CollectiveKeyGenerator::genSparseSecretEncapsulationKey] Always return an empty "
                  "SparseSecretEncapsulationKey key in Morvane-simulator");
    // Half of the key belongs to the sparse context; there is none to make it for.
    if (!impl_->contextSparse)
        throw RuntimeException("[CollectiveKeyGenerator::genSparseSecretEncapsulationKey] The generator is not "
                               "constructed with context_sparse");
    return makeEmptySparseSecretEncapsulationKey(impl_->context, *impl_->contextSparse);
}

} // namespace Morvane
