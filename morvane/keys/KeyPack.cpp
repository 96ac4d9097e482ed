#include "morvane/keys/KeyPack.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Serialize.hpp"

#include <cereal/archives/binary.hpp>
#include <cereal/details/helpers.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <variant>

namespace Morvane {

namespace {

constexpr const char* kEncKeyFile = "/PK/EncKey.bin";
constexpr const char* kMultKeyFile = "/PK/MultKey.bin";
constexpr const char* kConjKeyFile = "/PK/ConjKey.bin";
constexpr const char* kSparseKeyFile = "/PK/SparseSecretEncapsulationKey.bin";

// Key file paths are plain concatenations (no normalisation); empty when the pack has no key directory.
std::string keyFile(const std::string& dir, const char* suffix) { return dir.empty() ? std::string() : dir + suffix; }
std::string rotKeyFile(const std::string& dir, u64 idx) {
    return dir.empty() ? std::string() : dir + "/PK/RotKey" + std::to_string(idx) + ".bin";
}

// Both the path and `<path>/PK` must be directories (symbolic links followed).
bool isKeyDirectory(const std::string& path) {
    return std::filesystem::is_directory(path) && std::filesystem::is_directory(path + "/PK");
}

void checkKeyDirectory(const std::string& path) {
    if (!isKeyDirectory(path))
        throw RuntimeException("Cannot find path " + path);
}

// Whether the key's file opens (in text mode, nothing read); never for a pack without key directory.
bool isAvailable(const std::string& path) {
    if (path.empty())
        return false;
    std::ifstream file(path);
    return file.is_open();
}

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

struct KeyPackImpl::Snapshot {
    std::shared_ptr<EncryptionKey> enc;
    std::shared_ptr<EvaluationKey> mult;
    std::shared_ptr<EvaluationKey> conj;
    std::vector<std::pair<u64, std::shared_ptr<EvaluationKey>>> rot;
    std::shared_ptr<SparseSecretEncapsulationKey> sse;
};

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
    checkKeyDirectory(keyDirPath);
}

KeyPackImpl::KeyPackImpl(const Context& context, const Context& context_sparse, std::string key_dir_path)
    : context(context), contextSparse(context_sparse), keyDirPath(std::move(key_dir_path)),
      rotHeldBits(context->parameter.fullSlots),
      rotHeld(std::make_unique<std::atomic<std::uint64_t>[]>(rotHeldWordsFor(context))) {
    checkKeyDirectory(keyDirPath);
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

bool KeyPackImpl::isKeyDirPathSet() const { return !getKeyDirPath().empty(); }

std::string KeyPackImpl::getKeyDirPath() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return keyDirPath;
}

void KeyPackImpl::setKeyDirPath(const std::string& dir) {
    if (!isKeyDirectory(dir))
        throw RuntimeException("Cannot find key_dir_path.");
    std::lock_guard<std::mutex> lock(stateMutex);
    keyDirPath = dir;
}

bool KeyPackImpl::isEncKeyFileAvailable() const { return isAvailable(keyFile(getKeyDirPath(), kEncKeyFile)); }
bool KeyPackImpl::isMultKeyFileAvailable() const { return isAvailable(keyFile(getKeyDirPath(), kMultKeyFile)); }
bool KeyPackImpl::isConjKeyFileAvailable() const { return isAvailable(keyFile(getKeyDirPath(), kConjKeyFile)); }
bool KeyPackImpl::isSparseSecretEncapsulationKeyFileAvailable() const {
    return isAvailable(keyFile(getKeyDirPath(), kSparseKeyFile));
}
bool KeyPackImpl::isRotKeyFileAvailable(unsigned long idx) const {
    return isAvailable(rotKeyFile(getKeyDirPath(), idx));
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
// presence test again under it, so threads that race for one key read and count it once.
template <typename Key, typename MakeKey>
void lazyLoad(const KeyPackImpl& pack, std::mutex& leaf, std::mutex& keyMutex, std::shared_ptr<Key>& slot,
              std::atomic<bool>& held, const char* suffix, const HistoryLabel& label, MakeKey&& makeKey) {
    // A held key needs no lock at all: the common case of every operation that requires one.
    if (isHeld(held))
        return;
    const std::string path = keyFile(pack.getKeyDirPath(), suffix);
    if (!isAvailable(path))
        return;
    std::lock_guard<std::mutex> lock(keyMutex);
    if (isHeld(held))
        return;
    readAndStore(leaf, slot, held, std::shared_ptr<Key>(makeKey()), [&path](Key& key) { Serialize::load(path, key); });
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
    if (isRotKeyLoaded(idx))
        return;
    const std::string path = rotKeyFile(getKeyDirPath(), idx);
    if (!isAvailable(path))
        return;
    std::lock_guard<std::mutex> lock(getRotKeyMutex(idx));
    if (isRotKeyLoaded(idx))
        return;
    readThenStore(std::make_shared<EvaluationKey>(), [&path](EvaluationKey& key) { Serialize::load(path, key); },
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

void KeyPackImpl::save(const std::string& key_dir_path) {
    setKeyDirPath(key_dir_path);
    const Snapshot keys = snapshot();
    if (keys.enc) {
        keys.enc->save(key_dir_path + kEncKeyFile);
        context->updateOpHistory(labels::saveEncryptionKey);
    }
    if (keys.mult) {
        Serialize::save(key_dir_path + kMultKeyFile, *keys.mult);
        context->updateOpHistory(labels::saveMultiplicationKey);
    }
    if (keys.conj) {
        Serialize::save(key_dir_path + kConjKeyFile, *keys.conj);
        context->updateOpHistory(labels::saveConjugationKey);
    }
    for (const auto& [idx, key] : keys.rot) {
        if (!key)
            continue;
        Serialize::save(rotKeyFile(key_dir_path, idx), *key);
        context->updateOpHistory(labels::saveRotationKey);
    }
    if (keys.sse) {
        Serialize::save(key_dir_path + kSparseKeyFile, *keys.sse);
        context->updateOpHistory(labels::saveSparseKey);
    }
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

void KeyPackImpl::save(std::ostream& stream) const { Serialize::save(stream, *this); }

void KeyPackImpl::load(std::istream& stream) { Serialize::load(stream, *this); }

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

// Whole-pack stream. A key pointer is a 32-bit id: 0 for none, number | bit 31 at a key's first appearance
// (its record follows), the bare number for a further appearance of the same key object.
namespace {

constexpr std::uint32_t kFirstAppearance = 0x80000000u;
constexpr std::uint32_t kNumberMask = 0x7FFFFFFFu;

class KeyPointerWriter {
public:
    explicit KeyPointerWriter(cereal::BinaryOutputArchive& archive) : archive_(archive) {}

    template <typename Key>
    void write(const std::shared_ptr<Key>& key) {
        if (!key) {
            archive_(std::uint32_t{0});
            return;
        }
        // Keyed by type as well as address: a record and its first member share an address.
        const auto [it, isNew] = numbers_.try_emplace({std::type_index(typeid(Key)), key.get()}, next_);
        if (!isNew) {
            archive_(it->second);
            return;
        }
        ++next_;
        archive_(static_cast<std::uint32_t>(it->second | kFirstAppearance), *key);
    }

private:
    cereal::BinaryOutputArchive& archive_;
    std::map<std::pair<std::type_index, const void*>, std::uint32_t> numbers_;
    std::uint32_t next_ = 1;
};

// Keeps its own table of read objects with their kind, so a back-reference to a key of another kind is
// refused instead of being stored as the wrong type.
class KeyPointerReader {
public:
    explicit KeyPointerReader(cereal::BinaryInputArchive& archive) : archive_(archive) {}

    template <typename Key>
    std::shared_ptr<Key> read() {
        std::uint32_t id = 0;
        archive_(id);
        if (id & kFirstAppearance) {
            auto key = std::make_shared<Key>();
            objects_[id & kNumberMask] = key;
            archive_(*key);
            return key;
        }
        if (id == 0)
            return nullptr;
        const auto it = objects_.find(id);
        if (it == objects_.end())
            throw cereal::Exception("Error while trying to deserialize a smart pointer. Could not find id " +
                                    std::to_string(id));
        if (const auto* key = std::get_if<std::shared_ptr<Key>>(&it->second))
            return *key;
        throw cereal::Exception("Error while trying to deserialize a smart pointer. Id " + std::to_string(id) +
                                " names a key of another kind");
    }

private:
    cereal::BinaryInputArchive& archive_;
    std::map<std::uint32_t, std::variant<std::shared_ptr<EncryptionKey>, std::shared_ptr<EvaluationKey>,
                                         std::shared_ptr<SparseSecretEncapsulationKey>>>
        objects_;
};

} // namespace

void save(cereal::BinaryOutputArchive& archive, const KeyPackImpl& pack) {
    const KeyPackImpl::Snapshot keys = pack.snapshot();
    KeyPointerWriter writer(archive);
    writer.write(keys.enc);
    writer.write(keys.mult);
    writer.write(keys.conj);
    // An index without a key has nothing to write, and the reader refuses a null rotation entry.
    u64 count = 0;
    for (const auto& entry : keys.rot)
        count += entry.second ? 1 : 0;
    archive(count);
    for (const auto& [idx, key] : keys.rot) {
        if (!key)
            continue;
        archive(idx);
        writer.write(key);
    }
    writer.write(keys.sse);
}

void load(cereal::BinaryInputArchive& archive, KeyPackImpl& pack) {
    KeyPointerReader reader(archive);
    pack.setEncKey(reader.read<EncryptionKey>());
    pack.setMultKey(reader.read<EvaluationKey>());
    pack.setConjKey(reader.read<EvaluationKey>());
    u64 count = 0;
    archive(count);
    {
        std::lock_guard<std::mutex> lock(pack.stateMutex);
        pack.rotKeys.clear();
        pack.clearRotKeysHeld();
    }
    // The count only bounds the loop: a count larger than the stream ends in a short read.
    for (u64 i = 0; i < count; ++i) {
        u64 idx = 0;
        archive(idx);
        auto key = reader.read<EvaluationKey>();
        if (!key)
            throw cereal::Exception("Error while trying to deserialize a smart pointer. Rotation key of index " +
                                    std::to_string(idx) + " is null");
        std::lock_guard<std::mutex> lock(pack.stateMutex);
        pack.rotKeys.emplace(idx, std::move(key));
        pack.markRotKeyHeld(idx);
    }
    pack.setSparseSecretEncapsulationKey(reader.read<SparseSecretEncapsulationKey>());
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
