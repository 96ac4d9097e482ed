#include "morvane/keys/KeyGenerator.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Files.hpp"
#include "morvane/core/RotationIndex.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"

#include <filesystem>

namespace Morvane {

namespace {

void checkSecretKey(const Context& context, const SecretKey& sk) {
    if (*sk.getContext() != *context)
        throw RuntimeException("[KeyGenerator] context and secret key don't match");
}

} // namespace

// Read once: the generator's context fixes its row. A custom context has no row and pays 0.
KeyGeneratorImpl::Costs KeyGeneratorImpl::costsOf(const Parameter& parameter) {
    const std::string& row = parameter.presetName;
    return Costs{zeroResponseTimeMs(row, "gen_enckey"), zeroResponseTimeMs(row, "gen_multkey"),
                 zeroResponseTimeMs(row, "gen_conjkey"), zeroResponseTimeMs(row, "gen_rotkey"),
                 zeroResponseTimeMs(row, "gen_ssekey")};
}

KeyGeneratorImpl::KeyGeneratorImpl(const Context& context, const SecretKey& sk, const KeyPack& pack)
    : context(context), secretKey(sk), costs(costsOf(context->parameter)), numSlots(context->parameter.fullSlots),
      keyPack(pack) {
    checkSecretKey(context, sk);
}

KeyGeneratorImpl::KeyGeneratorImpl(const Context& context, const Context& context_sparse, const SecretKey& sk,
                                   const KeyPack& pack)
    : context(context), contextSparse(context_sparse), secretKey(sk), costs(costsOf(context->parameter)),
      numSlots(context->parameter.fullSlots), keyPack(pack) {
    checkSecretKey(context, sk);
    detail::checkSparseContext(context, context_sparse, "[KeyGenerator]");
}

std::shared_ptr<KeyPackImpl> KeyGeneratorImpl::currentPack() const {
    std::lock_guard<std::mutex> lock(keyPackMutex);
    return keyPack.getImpl();
}

KeyPack KeyGeneratorImpl::getKeyPack() const {
    std::lock_guard<std::mutex> lock(keyPackMutex);
    return keyPack;
}

void KeyGeneratorImpl::flushKeyPack(const KeyPack& pack) {
    // The previous pack is released outside the lock: it may be the last reference.
    KeyPack previous = pack;
    {
        std::lock_guard<std::mutex> lock(keyPackMutex);
        std::swap(keyPack, previous);
    }
}

void KeyGeneratorImpl::account(const HistoryLabel& label, u64 cost) const {
    context->updateOpHistory(label);
    context->tickStopWatch(cost);
}

void KeyGeneratorImpl::genEncryptionKey() const {
    const auto pack = currentPack();
    std::lock_guard<std::mutex> lock(pack->encMutex);
    pack->setEncKey(std::make_shared<EncryptionKey>(context, secretKey));
    account(labels::generateEncryptionKey, costs.enc);
}

void KeyGeneratorImpl::genMultiplicationKey() const {
    const auto pack = currentPack();
    std::lock_guard<std::mutex> lock(pack->multMutex);
    pack->setMultKey(makeEmptyMultKey(context));
    account(labels::generateMultiplicationKey, costs.mult);
}

void KeyGeneratorImpl::genConjugationKey() const {
    const auto pack = currentPack();
    std::lock_guard<std::mutex> lock(pack->conjMutex);
    pack->setConjKey(makeEmptyConjugationKey(context));
    account(labels::generateConjugationKey, costs.conj);
}

void KeyGeneratorImpl::storeRotationKey(KeyPackImpl& pack, u64 idx) const {
    pack.setRotKey(idx, makeEmptyRotationKey(context, idx));
    account(labels::generateRotationKey, costs.rot);
}

void KeyGeneratorImpl::genLeftRotationKey(unsigned long rot_idx) const {
    if (rot_idx == 0 || rot_idx >= numSlots)
        throw RuntimeException("Wrong rotation index");
    const auto pack = currentPack();
    std::lock_guard<std::mutex> lock(pack->getRotKeyMutex(rot_idx));
    storeRotationKey(*pack, rot_idx);
}

void KeyGeneratorImpl::genRightRotationKey(unsigned long rot_idx) const {
    if (rot_idx == 0 || rot_idx >= numSlots)
        throw RuntimeException("Wrong rotation index");
    genLeftRotationKey(detail::leftIndexOfRightRotation(rot_idx, numSlots));
}

void KeyGeneratorImpl::genRotationKeyIfNotExist(i64 rot_idx) const {
    const u64 idx = detail::leftRotationIndex(static_cast<u64>(rot_idx), numSlots);
    if (idx == 0)
        return;
    const auto pack = currentPack();
    if (pack->isRotKeyLoaded(idx))
        return;
    std::lock_guard<std::mutex> lock(pack->getRotKeyMutex(idx));
    // Another thread may have made (or loaded) the key while this one waited for the mutex.
    if (pack->isRotKeyLoaded(idx))
        return;
    storeRotationKey(*pack, idx);
}

void KeyGeneratorImpl::genRotKeysForBootstrap(unsigned long log_slots) const {
    for (const i64 idx : getRotIndicesForBootstrap(context, log_slots))
        genRotationKeyIfNotExist(idx);
}

void KeyGeneratorImpl::genRotationKeyBundle() const {
    for (u64 b = 1; b < numSlots; b <<= 1) {
        genRotationKeyIfNotExist(static_cast<i64>(b));
        genRotationKeyIfNotExist(-static_cast<i64>(b));
    }
    context->tickStopWatch(costs.rot);
}

void KeyGeneratorImpl::genSparseSecretEncapsulationKey() const {
    if (!contextSparse)
        throw RuntimeException(
            "Key Generator is not constructed for the parameter supporting sparse secret encapsulation");
    const auto pack = currentPack();
    std::lock_guard<std::mutex> lock(pack->sseMutex);
    pack->setSparseSecretEncapsulationKey(makeEmptySparseSecretEncapsulationKey(context, *contextSparse));
    account(labels::generateSparseKey, costs.sse);
}

void KeyGeneratorImpl::save(const std::string& key_dir_path) const {
    detail::checkPath(key_dir_path, "KeyGenerator::save");
    // An empty path would make "/PK" at the root before the pack's own check refused it.
    if (key_dir_path.empty())
        throw RuntimeException("Cannot find key_dir_path.");
    // A directory that cannot be made throws the file-system error before anything is written or counted.
    std::filesystem::create_directories(key_dir_path + "/PK");
    getKeyPack().save(key_dir_path);
}

KeyGenerator::KeyGenerator(const Context& context, const SecretKey& sk) : KeyGenerator(context, sk, KeyPack(context)) {}

KeyGenerator::KeyGenerator(const Context& context, const SecretKey& sk, const KeyPack& pack)
    : context(context), impl(std::make_shared<KeyGeneratorImpl>(context, sk, pack)) {}

KeyGenerator::KeyGenerator(const Context& context, const Context& context_sparse, const SecretKey& sk)
    : KeyGenerator(context, context_sparse, sk, KeyPack(context)) {}

KeyGenerator::KeyGenerator(const Context& context, const Context& context_sparse, const SecretKey& sk,
                           const KeyPack& pack)
    : context(context), contextSparse(context_sparse),
      impl(std::make_shared<KeyGeneratorImpl>(context, context_sparse, sk, pack)) {}

void KeyGenerator::genCommonKeys() const {
    impl->genEncryptionKey();
    impl->genMultiplicationKey();
    impl->genConjugationKey();
    impl->genRotationKeyBundle();
}

void KeyGenerator::flush() { impl->flushKeyPack(KeyPack(context)); }

} // namespace Morvane
