#pragma once

// Encryptor: plaintexts and messages into ciphertexts.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/keys/KeyPack.hpp"

namespace Morvane {

// Copies a plaintext's slots and bookkeeping (log slots, level, rescale counter) into a ciphertext, which
// keeps its own size, prime count, extended flag and context. Keys are never read: the key-pack forms only
// require an encryption key to be present.
class Encryptor {
public:
    explicit Encryptor(const Context& context);

    void encrypt(const Plaintext& ptxt, const SecretKey& sk, Ciphertext& ctxt) const;
    // "[Encryption] There is no encryption key." when the pack holds none and cannot load one.
    void encrypt(const Plaintext& ptxt, const KeyPack& pack, Ciphertext& ctxt) const;

    // Encode, then encrypt.
    void encrypt(const Message& msg, const SecretKey& sk, Ciphertext& ctxt) const;
    void encrypt(const Message& msg, const SecretKey& sk, Ciphertext& ctxt, unsigned long level,
                 int r_counter) const;
    void encrypt(const Message& msg, const KeyPack& pack, Ciphertext& ctxt) const;
    void encrypt(const Message& msg, const KeyPack& pack, Ciphertext& ctxt, unsigned long level,
                 int r_counter) const;

private:
    Context context;
};

} // namespace Morvane
