#include "morvane/keys/KeyPack.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/keys/KeyDirectory.hpp"

#include <utility>

namespace Morvane {

using namespace detail::keydir;

namespace {

template <typename Key>
std::shared_ptr<Key> readSlot(std::mutex& leaf, const std::shared_ptr<Key>& slot) {
    std::lock_guard<std::mutex> lock(leaf);
    return slot;
}

template <typename Key>
void writeSlot(std::mutex& leaf, std::shared_ptr<Key>& slot, std::atomic<bool>& held, std::shared_ptr<Key> key) {
    {
        std::lock_guard<std::mutex> lock(leaf);
        slot.swap(key);
        held.store(slot != nullptr, std::memory_order_release);
    }
    // The key replaced, if any, is released here, outside the lock.
}

// Reads a record into `key`, then hands it to `store`; a failed read still stores what was read, so the key
// counts as loaded.
template <typename Key, typename Read, typename Store>
void readThenStore(std::shared_ptr<Key> key, Read&& read, Store&& store) {
    try {
        read(*key);
    } catch (...) {
        store(std::move(key));
        throw;
    }
    store(std::move(key));
}

template <typename Key, typename Read>
void readAndStore(std::mutex& leaf, std::shared_ptr<Key>& slot, std::atomic<bool>& held, std::shared_ptr<Key> key,
                  Read&& read) {
    readThenStore(std::move(key), std::forward<Read>(read),
                  [&](std::shared_ptr<Key> loaded) { writeSlot(leaf, slot, held, std::move(loaded)); });
}

bool isHeld(const std::atomic<bool>& held) { return held.load(std::memory_order_acquire); }

// One bit per rotation index below the full slot count (at most 2^19 bits).
u64 rotHeldWordsFor(const Context& context) { return (context->parameter.fullSlots + 63) / 64; }

} // namespace

KeyPackImpl::KeyPackImpl(const Context& context)
    : context(context), rotHeldBits(context->parameter.fullSlots),
      rotHeld(std::make_unique<std::atomic<std::uint64_t>[]>(rotHeldWordsFor(context))) {}

KeyPackImpl::KeyPackImpl(const Context& context, const Context& context_sparse)
    : context(context), contextSparse(context_sparse), rotHeldBits(context->parameter.fullSlots),
      rotHeld(std::make_unique<std::atomic<std::uint64_t>[]>(rotHeldWordsFor(context))) {
    detail::checkSparseContext(context, context_sparse, "[KeyPack]");
}

KeyPackImpl::KeyPackImpl(const Context& context, std::string key_dir_path)
    : context(context), keyDirPath(std::move(key_dir_path)), rotHeldBits(context->parameter.fullSlots),
      rotHeld(std::make_unique<std::atomic<std::uint64_t>[]>(rotHeldWordsFor(context))) {
    detail::checkPath(keyDirPath, "KeyPack::KeyPack");
    checkKeyDirectory(keyDirPath);
    keyDirSet.store(true, std::memory_order_release);
}

KeyPackImpl::KeyPackImpl(const Context& context, const Context& context_sparse, std::string key_dir_path)
    : context(context), contextSparse(context_sparse), keyDirPath(std::move(key_dir_path)),
      rotHeldBits(context->parameter.fullSlots),
      rotHeld(std::make_unique<std::atomic<std::uint64_t>[]>(rotHeldWordsFor(context))) {
    detail::checkPath(keyDirPath, "KeyPack::KeyPack");
    checkKeyDirectory(keyDirPath);
    keyDirSet.store(true, std::memory_order_release);
    detail::checkSparseContext(context, context_sparse, "[KeyPack]");
}

bool KeyPackImpl::isEncKeyLoaded() const { return isHeld(encHeld); }
bool KeyPackImpl::isMultKeyLoaded() const { return isHeld(multHeld); }
bool KeyPackImpl::isConjKeyLoaded() const { return isHeld(conjHeld); }
bool KeyPackImpl::isSparseSecretEncapsulationKeyLoaded() const { return isHeld(sseHeld); }

bool KeyPackImpl::isRotKeyLoaded(unsigned long idx) const {
    if (idx < rotHeldBits)
        return (rotHeld[idx / 64].load(std::memory_order_acquire) >> (idx % 64)) & 1;
    // Indices at or above the slot count come only from whole-pack streams.
    std::lock_guard<std::mutex> lock(stateMutex);
    return rotKeys.count(idx) != 0;
}

bool KeyPackImpl::areLeftRotKeysLoaded(const i64* idx, std::size_t count) const {
    // The full slot count is a power of two, so every reduced index has its bit.
    for (std::size_t i = 0; i < count; ++i) {
        const u64 left = detail::leftRotationIndex(static_cast<u64>(idx[i]), rotHeldBits);
        if (((rotHeld[left / 64].load(std::memory_order_acquire) >> (left % 64)) & 1) == 0)
            return false;
    }
    return true;
}

bool KeyPackImpl::isKeyDirPathSet() const { return keyDirSet.load(std::memory_order_acquire); }

std::string KeyPackImpl::getKeyDirPath() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return keyDirPath;
}

void KeyPackImpl::setKeyDirPath(const std::string& dir) {
    detail::checkPath(dir, "KeyPack::setKeyDirPath");
    if (!isKeyDirectory(dir))
        throw RuntimeException("Cannot find key_dir_path.");
    std::lock_guard<std::mutex> lock(stateMutex);
    keyDirPath = dir;
    keyDirSet.store(true, std::memory_order_release);
}

std::unique_ptr<SparseSecretEncapsulationKey> KeyPackImpl::makeSparseKeyToLoad() const {
    if (contextSparse)
        return makeEmptySparseSecretEncapsulationKey(context, *contextSparse);
    // Without a sparse context the part it would name starts all zero; the read sets both parts anyway.
    auto key = std::make_unique<SparseSecretEncapsulationKey>();
    key->stdPart = EvaluationKey(context, 's', 0);
    return key;
}

namespace {

// The lazy load of a single key: the presence and file tests run before the key's mutex is taken and the
// presence test again under it, so threads that race for one key read and count it once. The key is read from
// the open that tested its file.
template <typename Key, typename MakeKey>
void lazyLoad(const KeyPackImpl& pack, std::mutex& leaf, std::mutex& keyMutex, std::shared_ptr<Key>& slot,
              std::atomic<bool>& held, const char* suffix, const HistoryLabel& label, MakeKey&& makeKey) {
    // A held key needs no lock at all: the common case of every operation that requires one. Nor does a pack
    // without key directory, which has no file to look for.
    if (isHeld(held) || !pack.isKeyDirPathSet())
        return;
    detail::InputFile file;
    if (!openKeyFile(file, keyFile(pack.getKeyDirPath(), suffix)))
        return;
    std::lock_guard<std::mutex> lock(keyMutex);
    if (isHeld(held))
        return;
    readAndStore(leaf, slot, held, std::shared_ptr<Key>(makeKey()), [&file](Key& key) { Serialize::load(file, key); });
    pack.getContext()->updateOpHistory(label);
}

template <typename Key, typename MakeKey>
void streamLoad(std::mutex& leaf, std::mutex& keyMutex, std::shared_ptr<Key>& slot, std::atomic<bool>& held,
                std::istream& stream, MakeKey&& makeKey) {
    std::lock_guard<std::mutex> lock(keyMutex);
    readAndStore(leaf, slot, held, std::shared_ptr<Key>(makeKey()),
                 [&stream](Key& key) { Serialize::load(stream, key); });
}

} // namespace

void KeyPackImpl::maybeLoadEncryptionKey() {
    lazyLoad(*this, stateMutex, encMutex, encKey, encHeld, kEncKeyFile, labels::loadEncryptionKey,
             [] { return std::make_unique<EncryptionKey>(); });
}

void KeyPackImpl::maybeLoadMultiplicationKey() {
    lazyLoad(*this, stateMutex, multMutex, multKey, multHeld, kMultKeyFile, labels::loadMultiplicationKey,
             [] { return std::make_unique<EvaluationKey>(); });
}

void KeyPackImpl::maybeLoadConjugationKey() {
    lazyLoad(*this, stateMutex, conjMutex, conjKey, conjHeld, kConjKeyFile, labels::loadConjugationKey,
             [] { return std::make_unique<EvaluationKey>(); });
}

void KeyPackImpl::maybeLoadSparseSecretEncapsulationKey() const {
    lazyLoad(*this, stateMutex, sseMutex, sseKey, sseHeld, kSparseKeyFile, labels::loadSparseKey,
             [this] { return makeSparseKeyToLoad(); });
}

void KeyPackImpl::maybeLoadRotationKey(unsigned long idx) {
    // A rotation composed from other keys asks for a key of its own on every call: a pack without key
    // directory answers without a lock or a stream.
    if (isRotKeyLoaded(idx) || !isKeyDirPathSet())
        return;
    detail::InputFile file;
    if (!openKeyFile(file, rotKeyFile(getKeyDirPath(), idx)))
        return;
    std::lock_guard<std::mutex> lock(getRotKeyMutex(idx));
    if (isRotKeyLoaded(idx))
        return;
    readThenStore(
        std::make_shared<EvaluationKey>(), [&file](EvaluationKey& key) { Serialize::load(file, key); },
        [this, idx](std::shared_ptr<EvaluationKey> key) { setRotKey(idx, std::move(key)); });
    context->updateOpHistory(labels::loadRotationKey);
}

std::shared_ptr<EncryptionKey> KeyPackImpl::getEncKey() {
    maybeLoadEncryptionKey();
    return peekEncKey();
}

std::shared_ptr<EvaluationKey> KeyPackImpl::getMultKey() {
    maybeLoadMultiplicationKey();
    return peekMultKey();
}

std::shared_ptr<EvaluationKey> KeyPackImpl::getConjKey() {
    maybeLoadConjugationKey();
    return peekConjKey();
}

std::shared_ptr<SparseSecretEncapsulationKey> KeyPackImpl::getSparseSecretEncapsulationKey() const {
    maybeLoadSparseSecretEncapsulationKey();
    return peekSparseSecretEncapsulationKey();
}

std::shared_ptr<EvaluationKey> KeyPackImpl::getLeftRotKey(unsigned long idx) {
    maybeLoadRotationKey(idx);
    std::lock_guard<std::mutex> lock(stateMutex);
    const auto it = rotKeys.find(idx);
    return it == rotKeys.end() ? nullptr : it->second;
}

void KeyPackImpl::maybeLoadEncryptionKey(std::istream& stream) const {
    streamLoad(stateMutex, encMutex, encKey, encHeld, stream,
               [this] { return std::make_unique<EncryptionKey>(context); });
}

void KeyPackImpl::maybeLoadMultiplicationKey(std::istream& stream) const {
    streamLoad(stateMutex, multMutex, multKey, multHeld, stream, [this] { return makeEmptyMultKey(context); });
}

void KeyPackImpl::maybeLoadConjugationKey(std::istream& stream) const {
    streamLoad(stateMutex, conjMutex, conjKey, conjHeld, stream, [this] { return makeEmptyConjugationKey(context); });
}

void KeyPackImpl::maybeLoadSparseSecretEncapsulationKey(std::istream& stream) const {
    streamLoad(stateMutex, sseMutex, sseKey, sseHeld, stream, [this] { return makeSparseKeyToLoad(); });
}

void KeyPackImpl::maybeLoadRotationKey(unsigned long idx, std::istream& stream) const {
    std::shared_ptr<EvaluationKey> key = makeEmptyRotationKey(context, idx);
    Serialize::load(stream, *key);
    std::lock_guard<std::mutex> lock(stateMutex);
    rotKeys.emplace(idx, std::move(key));
    markRotKeyHeld(idx);
}

void KeyPackImpl::to(const Device& device) {
    std::lock(encMutex, multMutex, conjMutex);
    // Released in the order encryption, multiplication, conjugation (reverse order of declaration).
    std::lock_guard<std::mutex> conjLock(conjMutex, std::adopt_lock);
    std::lock_guard<std::mutex> multLock(multMutex, std::adopt_lock);
    std::lock_guard<std::mutex> encLock(encMutex, std::adopt_lock);

    if (const auto key = peekEncKey())
        key->to(device);
    if (const auto key = peekMultKey())
        key->removeExcept(device);
    if (const auto key = peekConjKey())
        key->removeExcept(device);

    std::vector<u64> indices;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        indices.reserve(rotKeys.size());
        for (const auto& entry : rotKeys)
            indices.push_back(entry.first);
    }
    for (const u64 idx : indices) {
        std::lock_guard<std::mutex> rotLock(getRotKeyMutex(idx));
        std::shared_ptr<EvaluationKey> key;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            const auto it = rotKeys.find(idx);
            if (it != rotKeys.end())
                key = it->second;
        }
        if (key)
            key->removeExcept(device);
    }

    if (const auto key = peekSparseSecretEncapsulationKey())
        key->removeExcept(device);
}

void KeyPackImpl::setEncKey(std::shared_ptr<EncryptionKey> key) const {
    writeSlot(stateMutex, encKey, encHeld, std::move(key));
}
void KeyPackImpl::setMultKey(std::shared_ptr<EvaluationKey> key) const {
    writeSlot(stateMutex, multKey, multHeld, std::move(key));
}
void KeyPackImpl::setConjKey(std::shared_ptr<EvaluationKey> key) const {
    writeSlot(stateMutex, conjKey, conjHeld, std::move(key));
}
void KeyPackImpl::setSparseSecretEncapsulationKey(std::shared_ptr<SparseSecretEncapsulationKey> key) const {
    writeSlot(stateMutex, sseKey, sseHeld, std::move(key));
}

void KeyPackImpl::setRotKey(unsigned long idx, std::shared_ptr<EvaluationKey> key) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    rotKeys[idx].swap(key);
    markRotKeyHeld(idx);
}

void KeyPackImpl::markRotKeyHeld(u64 idx) const {
    if (idx < rotHeldBits)
        rotHeld[idx / 64].fetch_or(std::uint64_t{1} << (idx % 64), std::memory_order_release);
}

void KeyPackImpl::clearRotKeysHeld() const {
    for (u64 word = 0; word < (rotHeldBits + 63) / 64; ++word)
        rotHeld[word].store(0, std::memory_order_release);
}

std::mutex& KeyPackImpl::getRotKeyMutex(unsigned long idx) const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return rotKeyMutexes[idx];
}

std::shared_ptr<EncryptionKey> KeyPackImpl::peekEncKey() const { return readSlot(stateMutex, encKey); }
std::shared_ptr<EvaluationKey> KeyPackImpl::peekMultKey() const { return readSlot(stateMutex, multKey); }
std::shared_ptr<EvaluationKey> KeyPackImpl::peekConjKey() const { return readSlot(stateMutex, conjKey); }
std::shared_ptr<SparseSecretEncapsulationKey> KeyPackImpl::peekSparseSecretEncapsulationKey() const {
    return readSlot(stateMutex, sseKey);
}

std::vector<std::pair<u64, std::shared_ptr<EvaluationKey>>> KeyPackImpl::peekRotKeys() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return {rotKeys.begin(), rotKeys.end()};
}

KeyPackImpl::Snapshot KeyPackImpl::snapshot() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return Snapshot{encKey, multKey, conjKey, {rotKeys.begin(), rotKeys.end()}, sseKey};
}

KeyPack::KeyPack(const Context& context)
    : impl(std::make_shared<KeyPackImpl>(context)), numSlots(context->parameter.fullSlots) {}

KeyPack::KeyPack(const Context& context, const Context& context_sparse)
    : impl(std::make_shared<KeyPackImpl>(context, context_sparse)), numSlots(context->parameter.fullSlots) {}

KeyPack::KeyPack(const Context& context, const std::string& key_dir_path)
    : impl(std::make_shared<KeyPackImpl>(context, key_dir_path)), numSlots(context->parameter.fullSlots) {}

KeyPack::KeyPack(const Context& context, const Context& context_sparse, const std::string& key_dir_path)
    : impl(std::make_shared<KeyPackImpl>(context, context_sparse, key_dir_path)),
      numSlots(context->parameter.fullSlots) {}

} // namespace Morvane
