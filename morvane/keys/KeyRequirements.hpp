#pragma once

// Library-internal: the rule of every operation that needs a key: load it lazily, then require it.

#if !defined(MORVANE_LAYER_KEYS) && !defined(MORVANE_LAYER_EVAL)
#error "morvane/keys/KeyRequirements.hpp is internal to the keys and eval layers: include the public headers"
#endif

#include "morvane/core/Types.hpp"
#include "morvane/keys/KeyPack.hpp"

namespace Morvane {
namespace detail {

enum class KeyKind { Encryption, Multiplication, Conjugation, SparseSecretEncapsulation };

// Loads the key lazily from the pack's key directory when it is absent; whether the pack holds it then.
bool loadLazily(const KeyPack& pack, KeyKind kind);
// The same for the left rotation key of `idx`, reduced modulo the pack's slot count.
bool loadLeftRotKeyLazily(const KeyPack& pack, u64 idx);

// Loads lazily, then throws RuntimeException `message` when the pack still lacks the key.
void requireKey(const KeyPack& pack, KeyKind kind, const char* message);
// The same for a left rotation key; `fail` throws the caller's message, built only when the key is missing.
template <typename Fail>
void requireLeftRotKey(const KeyPack& pack, u64 idx, Fail&& fail) {
    if (!loadLeftRotKeyLazily(pack, idx))
        fail();
}

} // namespace detail
} // namespace Morvane
