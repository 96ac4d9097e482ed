#include "morvane/keys/KeyRequirements.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/RotationIndex.hpp"

namespace Morvane {
namespace detail {

bool loadLazily(const KeyPack& pack, KeyKind kind) {
    KeyPackImpl& impl = *pack.getImpl();
    switch (kind) {
    case KeyKind::Encryption:
        impl.maybeLoadEncryptionKey();
        return impl.isEncKeyLoaded();
    case KeyKind::Multiplication:
        impl.maybeLoadMultiplicationKey();
        return impl.isMultKeyLoaded();
    case KeyKind::Conjugation:
        impl.maybeLoadConjugationKey();
        return impl.isConjKeyLoaded();
    case KeyKind::SparseSecretEncapsulation:
        impl.maybeLoadSparseSecretEncapsulationKey();
        return impl.isSparseSecretEncapsulationKeyLoaded();
    }
    return false;
}

bool loadLeftRotKeyLazily(const KeyPack& pack, u64 idx) {
    const u64 left = leftRotationIndex(idx, pack.getNumSlots());
    pack.getImpl()->maybeLoadRotationKey(left);
    return pack.getImpl()->isRotKeyLoaded(left);
}

void requireKey(const KeyPack& pack, KeyKind kind, const char* message) {
    if (!loadLazily(pack, kind))
        throw RuntimeException(message);
}

} // namespace detail
} // namespace Morvane
