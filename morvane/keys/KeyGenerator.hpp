#pragma once

// KeyGenerator: makes a context's keys into a key pack, counting and charging each.

#include "morvane/core/Context.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/keys/KeyPack.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Morvane {

// Makes the keys of one context into a key pack. Every key made counts its label in the context's history
// and ticks the stopwatch by the preset's cost of that key (custom contexts have no cost row: 0).
class KeyGeneratorImpl {
public:
    KeyGeneratorImpl(const Context& context, const SecretKey& sk, const KeyPack& pack);
    KeyGeneratorImpl(const Context& context, const Context& context_sparse, const SecretKey& sk,
                     const KeyPack& pack);

    KeyGeneratorImpl(const KeyGeneratorImpl&) = delete;
    KeyGeneratorImpl& operator=(const KeyGeneratorImpl&) = delete;

    void genEncryptionKey() const;
    void genMultiplicationKey() const;
    void genConjugationKey() const;
    void genLeftRotationKey(unsigned long rot_idx) const;
    void genRightRotationKey(unsigned long rot_idx) const;
    // Reduces `rot_idx` modulo the slot count (a negative index is a left rotation by n - |rot_idx| mod n) and
    // makes that key unless the pack holds it in memory; index 0 needs no key.
    void genRotationKeyIfNotExist(i64 rot_idx) const;
    void genRotKeysForBootstrap(unsigned long log_slots) const;
    // Left keys of every power of two in both directions, each only if absent, then one more rotation-key cost.
    void genRotationKeyBundle() const;
    void genSparseSecretEncapsulationKey() const;

    // Creates `<key_dir_path>/PK` and writes the pack's keys there.
    void save(const std::string& key_dir_path) const;

    KeyPack getKeyPack() const;
    // From now on keys go into `pack`; the previous pack keeps its keys wherever else it is held.
    void flushKeyPack(const KeyPack& pack);

private:
    struct Costs {
        u64 enc = 0;
        u64 mult = 0;
        u64 conj = 0;
        u64 rot = 0;
        u64 sse = 0;
    };

    static Costs costsOf(const Parameter& parameter);
    std::shared_ptr<KeyPackImpl> currentPack() const;
    // Stores the rotation key of `idx`, counts and ticks; the caller holds the index's mutex.
    void storeRotationKey(KeyPackImpl& pack, u64 idx) const;
    void account(const HistoryLabel& label, u64 cost) const;

    const Context context;
    const std::optional<Context> contextSparse;
    const SecretKey secretKey;
    const Costs costs;
    const u64 numSlots;
    // Guards `keyPack` against a concurrent flush; held only to copy or replace the handle.
    mutable std::mutex keyPackMutex;
    KeyPack keyPack;
};

// Handle of a shared KeyGeneratorImpl: copies share the implementation and, through it, one key pack, also
// after a flush made through any of them.
class KeyGenerator {
public:
    KeyGenerator(const Context& context, const SecretKey& sk);
    KeyGenerator(const Context& context, const SecretKey& sk, const KeyPack& pack);
    KeyGenerator(const Context& context, const Context& context_sparse, const SecretKey& sk);
    KeyGenerator(const Context& context, const Context& context_sparse, const SecretKey& sk, const KeyPack& pack);

    void genEncryptionKey() const { impl->genEncryptionKey(); }
    void genMultiplicationKey() const { impl->genMultiplicationKey(); }
    void genConjugationKey() const { impl->genConjugationKey(); }
    void genLeftRotationKey(unsigned long rot_idx) const { impl->genLeftRotationKey(rot_idx); }
    void genRightRotationKey(unsigned long rot_idx) const { impl->genRightRotationKey(rot_idx); }
    void genRotKeysForBootstrap(unsigned long log_slots) const { impl->genRotKeysForBootstrap(log_slots); }
    void genRotationKeyBundle() const { impl->genRotationKeyBundle(); }
    void genSparseSecretEncapsulationKey() const { impl->genSparseSecretEncapsulationKey(); }
    // Encryption, multiplication and conjugation keys, then the rotation-key bundle.
    void genCommonKeys() const;

    KeyPack getKeyPack() const { return impl->getKeyPack(); }
    // Gives the generator a fresh, empty pack of its context.
    void flush();
    void save(const std::string& key_dir_path) const { impl->save(key_dir_path); }

private:
    Context context;
    std::optional<Context> contextSparse;
    std::shared_ptr<KeyGeneratorImpl> impl;
};

} // namespace Morvane
