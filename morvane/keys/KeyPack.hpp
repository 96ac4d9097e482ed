#pragma once

// KeyPack: the keys of a context, held in memory, read from streams or lazily from a key directory.

#include "morvane/core/Context.hpp"
#include "morvane/core/RotationIndex.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/keys/EncryptionKey.hpp"
#include "morvane/keys/EvaluationKey.hpp"
#include "morvane/keys/SparseSecretEncapsulationKey.hpp"

#include <atomic>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace Morvane {

// The keys one evaluator, encryptor or bootstrapper uses, filled by a key generator, from streams, from a
// whole-pack stream or lazily from a key directory (`<dir>/PK/...`).
//
// Locking. `encMutex`, `multMutex`, `conjMutex`, `sseMutex` and the per-index rotation mutexes serialise
// creation, loading and device moves of their key. Every read or write of a key slot, of the rotation maps
// and of the key directory path goes through a short-held leaf mutex that is never held while another lock
// is taken, a file is touched or a label is counted, so any order of the key mutexes stays deadlock-free.
// Whether a key is held is mirrored in atomics written under the leaf mutex, so the question every
// operation asks before it uses a key takes no lock.
// `to` takes the encryption, multiplication and conjugation mutexes as one set, then each rotation mutex in
// turn while holding them.
//
// Key objects in the slots are never modified after they are stored, except for their device by `to`:
// loads read into a fresh record and then put it in place.
class KeyPackImpl {
public:
    explicit KeyPackImpl(const Context& context);
    KeyPackImpl(const Context& context, const Context& context_sparse);
    KeyPackImpl(const Context& context, std::string key_dir_path);
    KeyPackImpl(const Context& context, const Context& context_sparse, std::string key_dir_path);

    KeyPackImpl(const KeyPackImpl&) = delete;
    KeyPackImpl& operator=(const KeyPackImpl&) = delete;

    const Context& getContext() const { return context; }
    const std::optional<Context>& getContextSparse() const { return contextSparse; }

    bool isEncKeyLoaded() const;
    bool isMultKeyLoaded() const;
    bool isConjKeyLoaded() const;
    bool isSparseSecretEncapsulationKeyLoaded() const;
    bool isRotKeyLoaded(unsigned long idx) const;
    // Whether the pack holds the rotation key of every left index idx[i] mod the full slot count; loads
    // nothing. One pass for the many indices a bootstrap needs.
    bool areLeftRotKeysLoaded(const i64* idx, std::size_t count) const;

    bool isKeyDirPathSet() const;
    std::string getKeyDirPath() const;
    void setKeyDirPath(const std::string& dir);

    bool isEncKeyFileAvailable() const;
    bool isMultKeyFileAvailable() const;
    bool isConjKeyFileAvailable() const;
    bool isSparseSecretEncapsulationKeyFileAvailable() const;
    bool isRotKeyFileAvailable(unsigned long idx) const;

    // Lazy loads from the key directory: nothing happens when the key is held or its file does not open.
    // A read that fails still leaves the (partly read) key in place.
    void maybeLoadEncryptionKey();
    void maybeLoadMultiplicationKey();
    void maybeLoadConjugationKey();
    void maybeLoadRotationKey(unsigned long idx);
    void maybeLoadSparseSecretEncapsulationKey() const;

    // Lazy load, then the key held (empty when still absent).
    std::shared_ptr<EncryptionKey> getEncKey();
    std::shared_ptr<EvaluationKey> getMultKey();
    std::shared_ptr<EvaluationKey> getConjKey();
    std::shared_ptr<EvaluationKey> getLeftRotKey(unsigned long idx);
    std::shared_ptr<SparseSecretEncapsulationKey> getSparseSecretEncapsulationKey() const;

    // Stream loads count nothing. The single keys are always replaced; a rotation key read from a stream
    // is dropped when the pack already holds that index.
    void maybeLoadEncryptionKey(std::istream& stream) const;
    void maybeLoadMultiplicationKey(std::istream& stream) const;
    void maybeLoadConjugationKey(std::istream& stream) const;
    void maybeLoadSparseSecretEncapsulationKey(std::istream& stream) const;
    void maybeLoadRotationKey(unsigned long idx, std::istream& stream) const;

    // Writes every key held into `<dir>/PK`, which must exist.
    void save(const std::string& key_dir_path);
    void to(const Device& device);

    // Whole-pack stream.
    void save(std::ostream& stream) const;
    void load(std::istream& stream);

    // For the key generator: it stores keys under the key's mutex below (rotation keys under
    // getRotKeyMutex(idx)), re-testing presence under that mutex where it generates only absent keys.
    void setEncKey(std::shared_ptr<EncryptionKey> key) const;
    void setMultKey(std::shared_ptr<EvaluationKey> key) const;
    void setConjKey(std::shared_ptr<EvaluationKey> key) const;
    void setSparseSecretEncapsulationKey(std::shared_ptr<SparseSecretEncapsulationKey> key) const;
    // Inserts or replaces the key of the index.
    void setRotKey(unsigned long idx, std::shared_ptr<EvaluationKey> key) const;
    // The mutex of a rotation index, created on first use and kept as long as the pack.
    std::mutex& getRotKeyMutex(unsigned long idx) const;

    // Held keys without any lazy load.
    std::shared_ptr<EncryptionKey> peekEncKey() const;
    std::shared_ptr<EvaluationKey> peekMultKey() const;
    std::shared_ptr<EvaluationKey> peekConjKey() const;
    std::shared_ptr<SparseSecretEncapsulationKey> peekSparseSecretEncapsulationKey() const;
    // The rotation entries in ascending index order.
    std::vector<std::pair<u64, std::shared_ptr<EvaluationKey>>> peekRotKeys() const;

private:
    friend void save(cereal::BinaryOutputArchive& archive, const KeyPackImpl& pack);
    friend void load(cereal::BinaryInputArchive& archive, KeyPackImpl& pack);

    struct Snapshot {
        std::shared_ptr<EncryptionKey> enc;
        std::shared_ptr<EvaluationKey> mult;
        std::shared_ptr<EvaluationKey> conj;
        std::vector<std::pair<u64, std::shared_ptr<EvaluationKey>>> rot;
        std::shared_ptr<SparseSecretEncapsulationKey> sse;
    };

    // Every slot and rotation entry, read under one hold of the leaf lock.
    Snapshot snapshot() const;
    // The sparse-secret-encapsulation record that loads read into.
    std::unique_ptr<SparseSecretEncapsulationKey> makeSparseKeyToLoad() const;

public:
    // Key-kind mutexes, held by loads and by the key generator while they replace their key.
    mutable std::mutex encMutex;
    mutable std::mutex multMutex;
    mutable std::mutex conjMutex;
    mutable std::mutex sseMutex;

private:
    const Context context;
    const std::optional<Context> contextSparse;
    mutable std::shared_ptr<EncryptionKey> encKey;
    mutable std::shared_ptr<EvaluationKey> multKey;
    mutable std::shared_ptr<EvaluationKey> conjKey;
    mutable std::map<u64, std::shared_ptr<EvaluationKey>> rotKeys;
    // Entries are never removed, so a reference to one stays valid for the pack's life.
    mutable std::map<u64, std::mutex> rotKeyMutexes;
    mutable std::shared_ptr<SparseSecretEncapsulationKey> sseKey;
    std::string keyDirPath;
    // Leaf lock of the slots, the two maps and keyDirPath; see the class comment.
    mutable std::mutex stateMutex;
    // Whether keyDirPath is set, written with it: a pack without key directory answers every lazy load without a
    // lock. A set path is only ever replaced by another key directory.
    std::atomic<bool> keyDirSet{false};

    // Whether each slot holds a key and which rotation indices below the full slot count have an entry,
    // written under the leaf lock together with the slots, so that "is it held" needs no lock.
    mutable std::atomic<bool> encHeld{false};
    mutable std::atomic<bool> multHeld{false};
    mutable std::atomic<bool> conjHeld{false};
    mutable std::atomic<bool> sseHeld{false};
    const u64 rotHeldBits;
    const std::unique_ptr<std::atomic<std::uint64_t>[]> rotHeld;
    // Under the leaf lock: marks `idx` as having a rotation entry, or clears every mark.
    void markRotKeyHeld(u64 idx) const;
    void clearRotKeysHeld() const;
};

// Whole-pack stream hooks (the archive functions of KeyPackImpl::save/load).
void save(cereal::BinaryOutputArchive& archive, const KeyPackImpl& pack);
void load(cereal::BinaryInputArchive& archive, KeyPackImpl& pack);

// Handle of a shared KeyPackImpl. Rotation indices are reduced here: left L(r) = r mod n, right
// R(r) = L(n - L(r)), with n the context's full slot count.
class KeyPack {
public:
    explicit KeyPack(const Context& context);
    KeyPack(const Context& context, const Context& context_sparse);
    KeyPack(const Context& context, const std::string& key_dir_path);
    KeyPack(const Context& context, const Context& context_sparse, const std::string& key_dir_path);

    void loadEncKey() { impl->maybeLoadEncryptionKey(); }
    void loadEncKey(std::istream& stream) { impl->maybeLoadEncryptionKey(stream); }
    void loadMultKey() { impl->maybeLoadMultiplicationKey(); }
    void loadMultKey(std::istream& stream) { impl->maybeLoadMultiplicationKey(stream); }
    void loadConjKey() { impl->maybeLoadConjugationKey(); }
    void loadConjKey(std::istream& stream) { impl->maybeLoadConjugationKey(stream); }
    void loadSparseSecretEncapsulationKey() { impl->maybeLoadSparseSecretEncapsulationKey(); }
    void loadSparseSecretEncapsulationKey(std::istream& stream) {
        impl->maybeLoadSparseSecretEncapsulationKey(stream);
    }
    void loadLeftRotKey(unsigned long idx) { impl->maybeLoadRotationKey(leftIndex(idx)); }
    void loadLeftRotKey(unsigned long idx, std::istream& stream) {
        impl->maybeLoadRotationKey(leftIndex(idx), stream);
    }
    void loadRightRotKey(unsigned long idx) { impl->maybeLoadRotationKey(rightIndex(idx)); }
    void loadRightRotKey(unsigned long idx, std::istream& stream) {
        impl->maybeLoadRotationKey(rightIndex(idx), stream);
    }

    bool isEncKeyLoaded() const { return impl->isEncKeyLoaded(); }
    bool isMultKeyLoaded() const { return impl->isMultKeyLoaded(); }
    bool isConjKeyLoaded() const { return impl->isConjKeyLoaded(); }
    bool isSparseSecretEncapsulationKeyLoaded() const { return impl->isSparseSecretEncapsulationKeyLoaded(); }
    bool isLeftRotKeyLoaded(unsigned long idx) const { return impl->isRotKeyLoaded(leftIndex(idx)); }
    bool isRightRotKeyLoaded(unsigned long idx) const { return impl->isRotKeyLoaded(rightIndex(idx)); }
    // Tests the file of `idx` itself, unreduced.
    bool isLeftRotKeyFileAvailable(unsigned long idx) const { return impl->isRotKeyFileAvailable(idx); }

    std::shared_ptr<EncryptionKey> getEncKey() const { return impl->getEncKey(); }
    std::shared_ptr<EvaluationKey> getMultKey() const { return impl->getMultKey(); }
    std::shared_ptr<EvaluationKey> getConjKey() const { return impl->getConjKey(); }
    std::shared_ptr<SparseSecretEncapsulationKey> getSparseSecretEncapsulationKey() const {
        return impl->getSparseSecretEncapsulationKey();
    }
    std::shared_ptr<EvaluationKey> getLeftRotKey(unsigned long idx) const {
        return impl->getLeftRotKey(leftIndex(idx));
    }
    std::shared_ptr<EvaluationKey> getRightRotKey(unsigned long idx) const {
        return impl->getLeftRotKey(rightIndex(idx));
    }

    void setKeyDirPath(const std::string& key_dir_path) { impl->setKeyDirPath(key_dir_path); }
    void to(const Device& device) { impl->to(device); }

    void save(const std::string& key_dir_path) const { impl->save(key_dir_path); }
    void save(std::ostream& stream) const { impl->save(stream); }
    void load(std::istream& stream) { impl->load(stream); }

    // The shared implementation, for the library's own layers (key generator, evaluator).
    const std::shared_ptr<KeyPackImpl>& getImpl() const { return impl; }
    u64 getNumSlots() const { return numSlots; }

private:
    u64 leftIndex(u64 idx) const { return detail::leftRotationIndex(idx, numSlots); }
    u64 rightIndex(u64 idx) const { return detail::leftIndexOfRightRotation(idx, numSlots); }

    std::shared_ptr<KeyPackImpl> impl;
    u64 numSlots;
};

} // namespace Morvane
